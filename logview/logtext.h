// The log's text: a sequence of cells (see cells.h) in fixed-size leaves under a B+ tree that
// counts characters, paragraph breaks and the characters a screen reader is given for them
// (spokenLength), so that finding a position, a paragraph or a spoken offset, and an insertion
// or deletion anywhere, cost the same however long the log or the paragraph is.
// Positions count characters (Unicode code points); '\n' is a paragraph break.
#pragma once

#include "logview/cells.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace logview {

class LogText {
public:
    // A week of one character a millisecond (604.8 million) fits.
    static constexpr Pos kDefaultCapacity = Pos(640) << 20;

    explicit LogText(Pos capacity = kDefaultCapacity);
    ~LogText();
    LogText(const LogText &) = delete;
    LogText &operator=(const LogText &) = delete;

    Pos size() const;
    Pos capacity() const { return cap; }
    Pos paragraphCount() const;

    // Makes room for `n` more characters by discarding the oldest text: nothing while there
    // is room; otherwise at least what is missing plus a 64th of the capacity, so that a full
    // log discards now and then instead of at every insertion, and up to the next paragraph
    // start when one is near. Returns how many characters went from the front. When `n`
    // exceeds the capacity everything goes, and the caller keeps the last capacity()
    // characters of what it inserts.
    Pos makeRoom(Pos n);
    // Inserts at `at` (0..size()); the caller has made room. '\n' breaks a paragraph.
    void insert(Pos at, std::u32string_view chars);
    void erase(Pos from, Pos to);
    void clear();

    // The text a screen reader is given: each cell takes spokenLength() characters of it.
    Pos spokenSize() const;
    // Where the cell at `pos` (0..size()) starts in that text.
    Pos spokenOffset(Pos pos) const;
    // The position of the cell whose spoken characters hold `offset` (0..spokenSize(); past the
    // end: size()), and in `into` how far into them `offset` lies.
    Pos positionAtSpoken(Pos offset, Pos *into = nullptr) const;

    char32_t at(Pos pos) const;
    std::u32string text(Pos from, Pos to) const;

    // The paragraph holding `pos` (a break belongs to the paragraph it ends).
    Pos paragraphIndex(Pos pos) const;
    Pos paragraphStart(Pos pos) const;
    // The position of the paragraph's break, or size() for the last paragraph.
    Pos paragraphEnd(Pos pos) const;

    // The cells from `pos` to the end of the leaf holding it; length 0 at the end. A cell
    // kForeignCell is a received 0xFF unless the side table lists it.
    struct Chunk {
        const Cell *cells = nullptr;
        Pos length = 0;
        const char32_t *foreign = nullptr;        // the side table from here on
        const std::uint16_t *foreignAt = nullptr;  // where its characters stand in the leaf
        const std::uint16_t *foreignEnd = nullptr;
        Pos offset = 0;                            // of cells[0] in the leaf

        // The side-table character of cell `k`, or 0 when the cell is its own character.
        // Called for each cell in order.
        char32_t sideChar(Pos k)
        {
            if (cells[k] != kForeignCell || foreignAt == foreignEnd || *foreignAt != offset + k)
                return 0;
            ++foreignAt;
            return *foreign++;
        }
    };
    Chunk chunkAt(Pos pos) const;

    // Heap bytes held by the text and its tree.
    std::size_t bytesUsed() const;

    struct Leaf;

private:
    struct Node;
    struct Step {
        Node *node;
        int index;
    };
    static constexpr int kMaxDepth = 16;
    struct Path {
        Step steps[kMaxDepth];
        int depth = 0;
    };

    Leaf *descend(Pos pos, bool preferLeft, Path &path, Pos &offset) const;
    enum class Count { Chars, Breaks, Spoken };
    // Walks down to the leaf where `target` falls, counted `by`, adding up the `summed` count of
    // everything before it in `other`; `target` is left within the leaf.
    const Leaf *walk(Pos &target, Count by, Count summed, Pos &other) const;
    Pos insertSome(Pos at, const char32_t *chars, Pos n);
    Pos eraseSome(Pos from, Pos to);
    Pos breakPosition(Pos index) const;   // where the index-th break (0-based) stands
    Pos startOfParagraph(Pos index) const;
    void destroy(Node *node);

    Node *root;
    Pos cap;
};

} // namespace logview
