// LogText's tree and what it is asked: characters, chunks of cells, spoken offsets and
// paragraphs.
#include "logview/logtext.h"
#include "logview/logtree.h"

namespace logview {

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
