// The log's rows at the control's width. A paragraph wraps greedily, as a text field does: a
// row ends after its last space when the next word does not fit, or at the last character
// that fits when the row has no space; spaces may hang past the edge.
//
// Rows are computed from the text when they are asked for. Where rows start is remembered for
// a few recently used paragraphs only, and an edit forgets it from two rows before the edit
// on, so the cost of an edit does not depend on the length of its paragraph or of the log.
#pragma once

#include "logview/logtext.h"

#include <array>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace logview {

struct Row {
    Pos start = 0;
    Pos end = 0;     // one past the last character shown on the row
    Pos next = -1;   // where the following row starts; -1 after the log's last row
    bool endsParagraph = false;
};

// A text field's default tab stop distance, in pixels.
constexpr double kTabStop = 80;

// How wide each character is drawn, in pixels.
struct Advances {
    std::array<double, 256> cell{};                // a cell's drawing (the break cell: 0)
    std::function<double(char32_t)> other;          // characters kept in the side table
    double tabStop = kTabStop;
};

class LogWrap {
public:
    explicit LogWrap(const LogText &text);

    void setAdvances(Advances advances);
    // The width rows wrap at; 0 or less: no wrapping.
    void setWidth(double width);
    double width() const { return available; }

    // The row that starts at `start`, which must be a row start.
    Row rowFrom(Pos start) const;
    // How far from the start of the row starting at `start` the character at `pos` stands, by
    // the advances rows wrap with (the drawn text may differ by a fraction of a character).
    double widthTo(Pos start, Pos pos) const;
    // The row holding `pos`; a position where a row wraps belongs to the row it starts.
    Row rowAt(Pos pos);
    // The start of the row before the one starting at `rowStart`; -1 for the first row.
    Pos previousRowStart(Pos rowStart);

    // Call after every change of the text: `removed` characters at `at` gave way to
    // `inserted` ones.
    void edited(Pos at, Pos removed, Pos inserted);
    void reset() { paragraphs.clear(); }

    // Paragraphs whose row starts are remembered (for the benchmarks and tests).
    std::size_t rememberedRows() const;

private:
    struct Paragraph {
        Pos start = 0;
        std::vector<std::uint32_t> rows{0};   // row starts, from the paragraph start
        bool complete = false;                // rows holds every row of the paragraph
        Pos end = 0;                          // its break (or the log's end), once complete
        std::uint64_t used = 0;
    };
    Paragraph &paragraph(Pos start);
    // Extends the remembered rows past `pos` (or to the paragraph's end).
    void extend(Paragraph &p, Pos pos);
    double otherAdvance(char32_t c) const;

    const LogText &text;
    Advances adv;
    double available = 0;
    mutable std::unordered_map<char32_t, double> otherCache;
    std::vector<Paragraph> paragraphs;
    std::uint64_t clock = 0;
};

} // namespace logview
