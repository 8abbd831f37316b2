// LogText's tree behind its header: the leaves of cells with their counts and side table, and
// the nodes that sum them. Only LogText's own sources include this.
#pragma once

#include "logview/logtext.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace logview {

inline constexpr int kLeafCells = 4064;   // a leaf with its header fills about 4 KiB
inline constexpr int kFanout = 32;

inline constexpr std::array<std::uint8_t, 256> kSpoken = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[std::size_t(c)] = static_cast<std::uint8_t>(spokenLength(static_cast<Cell>(c)));
    return t;
}();
// a side-table character is one spoken character, where received 0xFF is its name
inline constexpr int kForeignSpokenExcess = kSpoken[kForeignCell] - 1;

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

} // namespace logview
