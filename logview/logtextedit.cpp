// LogText's edits: insertion, erasure and discarding the oldest text, each keeping the tree's
// counts in step on the way back up.
#include "logview/logtext.h"
#include "logview/logtree.h"

namespace logview {

namespace {

// paragraph starts this close behind a discard point are preferred as the new first line
constexpr Pos kParagraphSearch = 64 * 1024;

// Writes `n` characters at `offset` of a leaf with room for them (its side table already
// moved out of their way) and counts them in.
void writeCells(LogText::Leaf &leaf, Pos offset, const char32_t *chars, Pos n)
{
    int breaks = 0;
    int spoken = 0;
    const int at = leaf.foreignBefore(offset);
    std::vector<char32_t> extra;
    std::vector<std::uint16_t> extraAt;
    Cell *cells = leaf.cells + offset;
    for (Pos k = 0; k < n; ++k) {
        const Cell c = cellOf(chars[k]);
        cells[k] = c;
        spoken += kSpoken[c];
        if (c == kBreakCell) {
            ++breaks;
        } else if (c == kForeignCell && chars[k] != cellChar(kForeignCell)) {
            extra.push_back(chars[k]);
            extraAt.push_back(static_cast<std::uint16_t>(offset + k));
        }
    }
    if (!extra.empty()) {
        leaf.foreign.insert(leaf.foreign.begin() + at, extra.begin(), extra.end());
        leaf.foreignAt.insert(leaf.foreignAt.begin() + at, extraAt.begin(), extraAt.end());
    }
    leaf.used = static_cast<std::uint16_t>(leaf.used + n);
    leaf.breaks = static_cast<std::uint16_t>(leaf.breaks + breaks);
    leaf.spoken = static_cast<std::uint16_t>(leaf.spoken + spoken -
                                              kForeignSpokenExcess * int(extra.size()));
}

} // namespace

void LogText::clear()
{
    destroy(root);
    root = new Node;
    root->insertAt(0, new Leaf);
}

Pos LogText::makeRoom(Pos n)
{
    const Pos total = size();
    if (total + n <= cap)
        return 0;
    Pos cut = std::min(total, total + n - cap + cap / 64);
    if (cut < total && at(cut - 1) != U'\n') {
        // start the kept text at a paragraph when one starts soon after the cut
        const Pos end = paragraphEnd(cut);
        if (end < total && end - cut < kParagraphSearch)
            cut = end + 1;
    }
    erase(0, cut);
    return cut;
}

Pos LogText::insertSome(Pos at, const char32_t *chars, Pos n)
{
    // Recursive insertion into one leaf; sums are recomputed on the way back up and full nodes
    // split into halves. Returns the number of characters placed.
    struct Rec {
        static Node *run(Node *node, Pos pos, const char32_t *chars, Pos n, Pos &placed)
        {
            const int i = node->find(pos, true);
            void *extra = nullptr;
            int extraAt = 0;
            if (node->leaves) {
                Leaf *leaf = static_cast<Leaf *>(node->child[i]);
                if (leaf->used == kLeafCells) {
                    // full: put the text into a new leaf beside it, or split it at the point
                    Leaf *fresh = new Leaf;
                    if (pos == 0 || pos == leaf->used) {
                        const Pos k = std::min<Pos>(n, kLeafCells);
                        writeCells(*fresh, 0, chars, k);
                        placed = k;
                        extraAt = pos == 0 ? i : i + 1;
                    } else {
                        const int fi = leaf->foreignBefore(pos);
                        const Pos tail = leaf->used - pos;
                        std::memcpy(fresh->cells, leaf->cells + pos, tail);
                        fresh->used = static_cast<std::uint16_t>(tail);
                        fresh->breaks = static_cast<std::uint16_t>(
                            std::count(fresh->cells, fresh->cells + tail, kBreakCell));
                        fresh->foreign.assign(leaf->foreign.begin() + fi, leaf->foreign.end());
                        fresh->foreignAt.assign(leaf->foreignAt.begin() + fi, leaf->foreignAt.end());
                        for (std::uint16_t &o : fresh->foreignAt)
                            o = static_cast<std::uint16_t>(o - pos);
                        fresh->spoken = static_cast<std::uint16_t>(fresh->spokenOf(0, tail));
                        leaf->foreign.resize(fi);
                        leaf->foreignAt.resize(fi);
                        leaf->used = static_cast<std::uint16_t>(pos);
                        leaf->breaks = static_cast<std::uint16_t>(leaf->breaks - fresh->breaks);
                        leaf->spoken = static_cast<std::uint16_t>(leaf->spoken - fresh->spoken);
                        placed = 0;   // the caller comes back to the room made at the split
                        extraAt = i + 1;
                    }
                    extra = fresh;
                } else {
                    const Pos k = std::min<Pos>(n, kLeafCells - leaf->used);
                    std::memmove(leaf->cells + pos + k, leaf->cells + pos, leaf->used - pos);
                    leaf->shiftForeign(pos, k);
                    writeCells(*leaf, pos, chars, k);
                    placed = k;
                }
            } else {
                Node *child = static_cast<Node *>(node->child[i]);
                extra = run(child, pos, chars, n, placed);
                extraAt = i + 1;
            }
            node->refresh(i);
            return extra ? node->insertOrSplit(extraAt, extra) : nullptr;
        }
    };
    Pos placed = 0;
    if (Node *right = Rec::run(root, at, chars, n, placed)) {
        Node *top = new Node;
        top->leaves = false;
        top->insertAt(0, root);
        top->insertAt(1, right);
        root = top;
    }
    return placed;
}

void LogText::insert(Pos at, std::u32string_view chars)
{
    at = std::clamp<Pos>(at, 0, size());
    Pos done = 0;
    const Pos n = static_cast<Pos>(chars.size());
    while (done < n) {
        const Pos k = insertSome(at, chars.data() + done, n - done);
        at += k;
        done += k;
    }
}

Pos LogText::eraseSome(Pos from, Pos to)
{
    struct Rec {
        // Removes up to `count` characters from `pos` on, within one leaf; empty children go.
        static Pos run(Node *node, Pos pos, Pos count, bool soleLeaf)
        {
            const int i = node->find(pos, false);
            Pos removed;
            bool empty;
            if (node->leaves) {
                Leaf *leaf = static_cast<Leaf *>(node->child[i]);
                removed = std::min<Pos>(count, leaf->used - pos);
                Cell *first = leaf->cells + pos;
                const int breaks = int(std::count(first, first + removed, kBreakCell));
                const int spoken = leaf->spokenOf(pos, pos + removed);
                if (!leaf->foreign.empty()) {
                    const int fi = leaf->foreignBefore(pos);
                    const int fn = leaf->foreignBefore(pos + removed) - fi;
                    leaf->foreign.erase(leaf->foreign.begin() + fi,
                                        leaf->foreign.begin() + fi + fn);
                    leaf->foreignAt.erase(leaf->foreignAt.begin() + fi,
                                          leaf->foreignAt.begin() + fi + fn);
                    leaf->shiftForeign(pos + removed, -removed);
                }
                std::memmove(first, first + removed, leaf->used - pos - removed);
                leaf->used = static_cast<std::uint16_t>(leaf->used - removed);
                leaf->breaks = static_cast<std::uint16_t>(leaf->breaks - breaks);
                leaf->spoken = static_cast<std::uint16_t>(leaf->spoken - spoken);
                empty = leaf->used == 0 && !soleLeaf;
                if (empty)
                    delete leaf;
            } else {
                Node *child = static_cast<Node *>(node->child[i]);
                removed = run(child, pos, count, false);
                empty = child->count == 0;
                if (empty)
                    delete child;
            }
            if (empty)
                node->removeAt(i);
            else
                node->refresh(i);
            return removed;
        }
    };
    const bool sole = root->leaves && root->count == 1;
    const Pos removed = Rec::run(root, from, to - from, sole);
    while (!root->leaves && root->count == 1) {
        Node *only = static_cast<Node *>(root->child[0]);
        root->count = 0;
        delete root;
        root = only;
    }
    if (root->count == 0) {   // everything went: start again from one empty leaf
        root->leaves = true;
        root->insertAt(0, new Leaf);
    }
    return removed;
}

void LogText::erase(Pos from, Pos to)
{
    from = std::clamp<Pos>(from, 0, size());
    to = std::clamp<Pos>(to, from, size());
    while (from < to) {
        const Pos k = eraseSome(from, to);
        if (k == 0)
            break;
        to -= k;
    }
}

} // namespace logview
