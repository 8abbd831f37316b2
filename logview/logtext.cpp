#include "logview/logtext.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace logview {

namespace {
constexpr int kLeafCells = 4064;   // a leaf with its header fills about 4 KiB
constexpr int kFanout = 32;
// paragraph starts this close behind a discard point are preferred as the new first line
constexpr Pos kParagraphSearch = 64 * 1024;

constexpr std::array<std::uint8_t, 256> kSpoken = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[std::size_t(c)] = static_cast<std::uint8_t>(spokenLength(static_cast<Cell>(c)));
    return t;
}();
// a side-table character is one spoken character, where received 0xFF is its name
constexpr int kForeignSpokenExcess = kSpoken[kForeignCell] - 1;
} // namespace

struct LogText::Leaf {
    std::uint16_t used = 0;
    std::uint16_t breaks = 0;
    std::uint16_t spoken = 0;   // at most kLeafCells times the longest spoken cell
    // the side table: the characters of the kForeignCell cells that are no received 0xFF, in
    // order, and where they stand in the leaf
    std::vector<char32_t> foreign;
    std::vector<std::uint16_t> foreignAt;
    Cell cells[kLeafCells];

    int foreignBefore(Pos offset) const
    {
        return int(std::lower_bound(foreignAt.begin(), foreignAt.end(), offset) - foreignAt.begin());
    }
    // The spoken characters of cells [from, to).
    int spokenOf(Pos from, Pos to) const
    {
        int n = 0;
        for (Pos k = from; k < to; ++k)
            n += kSpoken[cells[k]];
        return n - kForeignSpokenExcess * (foreignBefore(to) - foreignBefore(from));
    }
    // The side-table entries from `offset` on move by `delta`.
    void shiftForeign(Pos offset, Pos delta)
    {
        for (auto it = foreignAt.begin() + foreignBefore(offset); it != foreignAt.end(); ++it)
            *it = static_cast<std::uint16_t>(*it + delta);
    }
};

struct LogText::Node {
    int count = 0;
    bool leaves = true;   // children are leaves
    Pos chars[kFanout] = {};
    Pos breaks[kFanout] = {};
    Pos spoken[kFanout] = {};
    void *child[kFanout] = {};

    static Pos total(const Pos *counts, int n)
    {
        Pos s = 0;
        for (int i = 0; i < n; ++i)
            s += counts[i];
        return s;
    }
    Pos totalChars() const { return total(chars, count); }
    Pos totalBreaks() const { return total(breaks, count); }
    Pos totalSpoken() const { return total(spoken, count); }
    const Pos *counts(Count c) const
    {
        return c == Count::Chars ? chars : c == Count::Breaks ? breaks : spoken;
    }
    void refresh(int i)
    {
        if (leaves) {
            const Leaf *l = static_cast<const Leaf *>(child[i]);
            chars[i] = l->used;
            breaks[i] = l->breaks;
            spoken[i] = l->spoken;
        } else {
            const Node *n = static_cast<const Node *>(child[i]);
            chars[i] = n->totalChars();
            breaks[i] = n->totalBreaks();
            spoken[i] = n->totalSpoken();
        }
    }
    void insertAt(int i, void *c)
    {
        std::memmove(child + i + 1, child + i, sizeof(void *) * (count - i));
        for (Pos *a : {chars, breaks, spoken})
            std::memmove(a + i + 1, a + i, sizeof(Pos) * (count - i));
        child[i] = c;
        ++count;
        refresh(i);
    }
    void removeAt(int i)
    {
        std::memmove(child + i, child + i + 1, sizeof(void *) * (count - i - 1));
        for (Pos *a : {chars, breaks, spoken})
            std::memmove(a + i, a + i + 1, sizeof(Pos) * (count - i - 1));
        --count;
    }
    // Inserts `c` at `i`; when full, splits and returns the new right half.
    Node *insertOrSplit(int i, void *c)
    {
        if (count < kFanout) {
            insertAt(i, c);
            return nullptr;
        }
        Node *right = new Node;
        right->leaves = leaves;
        const int half = kFanout / 2;
        right->count = count - half;
        std::memcpy(right->child, child + half, sizeof(void *) * right->count);
        std::memcpy(right->chars, chars + half, sizeof(Pos) * right->count);
        std::memcpy(right->breaks, breaks + half, sizeof(Pos) * right->count);
        std::memcpy(right->spoken, spoken + half, sizeof(Pos) * right->count);
        count = half;
        if (i <= half)
            insertAt(i, c);
        else
            right->insertAt(i - half, c);
        return right;
    }
    // The child holding `pos`, with `pos` made relative to it. At a boundary between two
    // children the left one is taken when `preferLeft`, as an insertion there appends to it.
    int find(Pos &pos, bool preferLeft) const
    {
        int i = 0;
        while (i < count - 1 && (pos > chars[i] || (!preferLeft && pos == chars[i]))) {
            pos -= chars[i];
            ++i;
        }
        return i;
    }
};

namespace {

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

LogText::LogText(Pos capacity) : root(new Node), cap(std::max<Pos>(1, capacity))
{
    root->insertAt(0, new Leaf);
}

LogText::~LogText()
{
    destroy(root);
}

void LogText::destroy(Node *node)
{
    for (int i = 0; i < node->count; ++i) {
        if (node->leaves)
            delete static_cast<Leaf *>(node->child[i]);
        else
            destroy(static_cast<Node *>(node->child[i]));
    }
    delete node;
}

Pos LogText::size() const
{
    return root->totalChars();
}

Pos LogText::paragraphCount() const
{
    return root->totalBreaks() + 1;
}

LogText::Leaf *LogText::descend(Pos pos, bool preferLeft, Path &path, Pos &offset) const
{
    Node *n = root;
    path.depth = 0;
    for (;;) {
        const int i = n->find(pos, preferLeft);
        path.steps[path.depth++] = {n, i};
        if (n->leaves) {
            offset = pos;
            return static_cast<Leaf *>(n->child[i]);
        }
        n = static_cast<Node *>(n->child[i]);
    }
}

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

char32_t LogText::at(Pos pos) const
{
    Chunk c = chunkAt(pos);
    if (c.length == 0)
        return 0;
    const char32_t side = c.sideChar(0);
    return side ? side : cellChar(c.cells[0]);
}

LogText::Chunk LogText::chunkAt(Pos pos) const
{
    if (pos < 0 || pos >= size())
        return {};
    Path path;
    Pos offset;
    const Leaf *leaf = descend(pos, false, path, offset);
    const int fi = leaf->foreignBefore(offset);
    return {leaf->cells + offset, leaf->used - offset, leaf->foreign.data() + fi,
            leaf->foreignAt.data() + fi, leaf->foreignAt.data() + leaf->foreignAt.size(), offset};
}

std::u32string LogText::text(Pos from, Pos to) const
{
    from = std::clamp<Pos>(from, 0, size());
    to = std::clamp<Pos>(to, from, size());
    std::u32string out;
    out.reserve(static_cast<std::size_t>(to - from));
    while (from < to) {
        Chunk c = chunkAt(from);
        const Pos n = std::min(c.length, to - from);
        for (Pos k = 0; k < n; ++k) {
            const char32_t side = c.sideChar(k);
            out.push_back(side ? side : cellChar(c.cells[k]));
        }
        from += n;
    }
    return out;
}

const LogText::Leaf *LogText::walk(Pos &target, Count byCount, Count summedCount, Pos &other) const
{
    const Node *n = root;
    for (;;) {
        const Pos *by = n->counts(byCount);
        const Pos *summed = n->counts(summedCount);
        int i = 0;
        while (i < n->count - 1 && target >= by[i]) {
            target -= by[i];
            other += summed[i];
            ++i;
        }
        if (n->leaves)
            return static_cast<const Leaf *>(n->child[i]);
        n = static_cast<const Node *>(n->child[i]);
    }
}

Pos LogText::spokenSize() const
{
    return root->totalSpoken();
}

Pos LogText::spokenOffset(Pos pos) const
{
    pos = std::clamp<Pos>(pos, 0, size());
    Pos before = 0;
    const Leaf *leaf = walk(pos, Count::Chars, Count::Spoken, before);
    return before + leaf->spokenOf(0, std::min<Pos>(pos, leaf->used));
}

Pos LogText::positionAtSpoken(Pos offset, Pos *into) const
{
    Pos target = std::clamp<Pos>(offset, 0, spokenSize());
    Pos pos = 0;
    const Leaf *leaf = walk(target, Count::Spoken, Count::Chars, pos);
    auto foreign = leaf->foreignAt.begin();
    for (int k = 0; k < leaf->used; ++k) {
        int n = kSpoken[leaf->cells[k]];
        if (foreign != leaf->foreignAt.end() && *foreign == k) {
            n = 1;
            ++foreign;
        }
        if (target < n) {
            if (into)
                *into = target;
            return pos + k;
        }
        target -= n;
    }
    if (into)
        *into = 0;
    return pos + leaf->used;
}

Pos LogText::paragraphIndex(Pos pos) const
{
    pos = std::clamp<Pos>(pos, 0, size());
    Pos before = 0;
    const Leaf *leaf = walk(pos, Count::Chars, Count::Breaks, before);
    return before + std::count(leaf->cells, leaf->cells + std::min<Pos>(pos, leaf->used), kBreakCell);
}

Pos LogText::breakPosition(Pos index) const
{
    Pos pos = 0;
    const Leaf *leaf = walk(index, Count::Breaks, Count::Chars, pos);
    for (int k = 0; k < leaf->used; ++k)
        if (leaf->cells[k] == kBreakCell && index-- == 0)
            return pos + k;
    return size();
}

Pos LogText::startOfParagraph(Pos index) const
{
    return index <= 0 ? 0 : std::min(size(), breakPosition(index - 1) + 1);
}

Pos LogText::paragraphStart(Pos pos) const
{
    return startOfParagraph(paragraphIndex(pos));
}

Pos LogText::paragraphEnd(Pos pos) const
{
    const Pos index = paragraphIndex(pos);
    return index >= root->totalBreaks() ? size() : breakPosition(index);
}

std::size_t LogText::bytesUsed() const
{
    struct Rec {
        static std::size_t run(const Node *n)
        {
            std::size_t bytes = sizeof(Node);
            for (int i = 0; i < n->count; ++i) {
                if (n->leaves) {
                    const Leaf *l = static_cast<const Leaf *>(n->child[i]);
                    bytes += sizeof(Leaf) + l->foreign.capacity() * sizeof(char32_t) +
                             l->foreignAt.capacity() * sizeof(std::uint16_t);
                } else {
                    bytes += run(static_cast<const Node *>(n->child[i]));
                }
            }
            return bytes;
        }
    };
    return Rec::run(root);
}

} // namespace logview
