// The log's text as assistive technology is given it: the spoken text (cells.h), where a box
// byte reads as its name between two spaces, and how its offsets map to positions of the log.
// Only the log control's own sources include this.
#pragma once

#include "logview/logtext.h"
#include "logview/logview.h"

#include <QString>

#include <algorithm>
#include <string>

namespace logview {

// Text around an offset that word and sentence boundaries are looked for in, in positions: the
// paragraph is cut into pieces this long from its start, and a piece's ends are boundaries, so
// that every offset of a piece is given the same ranges. The spoken text starts at a paragraph
// when one starts this close after the point it would start at.
constexpr Pos kBoundaryReach = 4096;

bool isBox(char32_t c);
// The spoken characters of a character of the log.
Pos spokenLengthOf(char32_t c);
// The spoken text of the cells [from, to): a box byte's name with a space on each side,
// everything else as it is (see spokenLength).
std::u32string spokenCells(const LogText &t, Pos from, Pos to);
QString toQString(const std::u32string &s);

// The log's spoken text as assistive technology is given it: offsets from the view's spoken
// start (0 unless the log is huge).
class Spoken {
public:
    explicit Spoken(LogView *view)
        : t(view->text()), start(view->spokenStart()), base(t.spokenOffset(start))
    {
    }
    Pos count() const { return t.spokenSize() - base; }
    Pos size() const { return t.size(); }
    // Where the cell at `pos` starts (its leading space, for a box byte).
    Pos offsetOf(Pos pos) const { return std::max<Pos>(0, t.spokenOffset(pos) - base); }
    // Where the caret or a selection's end before `pos` is said: a box byte's name, not its space.
    Pos edgeOf(Pos pos) const { return offsetOf(pos) + (pos < size() && isBox(t.at(pos)) ? 1 : 0); }
    // The cell whose spoken characters hold `offset`, and how far into them it lies.
    Pos cellAt(Pos offset, Pos *into = nullptr) const
    {
        return t.positionAtSpoken(std::clamp<Pos>(offset, 0, count()) + base, into);
    }
    // The caret position an offset stands for: a box byte's trailing space is after it.
    Pos positionFor(Pos offset) const;
    std::u32string cells(Pos from, Pos to) const { return spokenCells(t, from, to); }
    // The spoken characters [from, to).
    QString text(Pos from, Pos to) const;

    const LogText &t;
    const Pos start;
    const Pos base;
};

} // namespace logview
