#include "logview/spoken.h"
#include "logview/logviewstate.h"

#include <limits>

namespace logview {

namespace {

// The spoken text is counted in ints; past that the text given starts later, this much before
// the end.
constexpr Pos kSpokenLimit = std::numeric_limits<int>::max();
constexpr Pos kSpokenKept = Pos(3) << 29;

} // namespace

bool isBox(char32_t c)
{
    const int byte = byteOf(c);
    return byte > 0 && isHexBoxByte(std::uint8_t(byte));
}

Pos spokenLengthOf(char32_t c)
{
    return isBox(c) ? Pos(boxName(std::uint8_t(byteOf(c))).size()) + 2 : 1;
}

std::u32string spokenCells(const LogText &t, Pos from, Pos to)
{
    std::u32string out;
    out.reserve(std::size_t(std::max<Pos>(0, to - from)));
    while (from < to) {
        LogText::Chunk c = t.chunkAt(from);
        if (c.length == 0)
            break;
        const Pos n = std::min(c.length, to - from);
        for (Pos k = 0; k < n; ++k) {
            if (const char32_t side = c.sideChar(k)) {
                out.push_back(side);
            } else if (isHexBoxByte(c.cells[k])) {
                const std::string_view name = boxName(c.cells[k]);
                out.push_back(U' ');
                out.append(name.begin(), name.end());
                out.push_back(U' ');
            } else {
                out.push_back(cellChar(c.cells[k]));
            }
        }
        from += n;
    }
    return out;
}

QString toQString(const std::u32string &s)
{
    return QString::fromUcs4(s.data(), qsizetype(s.size()));
}

Pos Spoken::positionFor(Pos offset) const
{
    Pos into = 0;
    const Pos pos = cellAt(offset, &into);
    if (into > 0 && pos < size() && into + 1 == spokenLengthOf(t.at(pos)))
        return pos + 1;
    return std::max(pos, start);
}

QString Spoken::text(Pos from, Pos to) const
{
    from = std::clamp<Pos>(from, 0, count());
    to = std::clamp<Pos>(to, from, count());
    Pos into = 0, intoEnd = 0;
    const Pos first = cellAt(from, &into);
    const Pos last = cellAt(to, &intoEnd);
    const std::u32string s = cells(first, last + (intoEnd > 0 ? 1 : 0));
    return toQString(s.substr(std::size_t(into), std::size_t(to - from)));
}

Pos LogView::spokenStart()
{
    const LogText &t = d->store;
    if (t.spokenSize() <= kSpokenLimit) {
        spokenFrom = 0;
    } else if (t.spokenSize() - t.spokenOffset(spokenFrom) > kSpokenLimit) {
        spokenFrom = t.positionAtSpoken(t.spokenSize() - kSpokenKept);
        // from the next paragraph when one starts soon (a line that never ends has none)
        const Pos next = t.paragraphEnd(spokenFrom) + 1;
        if (spokenFrom > 0 && t.at(spokenFrom - 1) != U'\n' && next - spokenFrom <= kBoundaryReach)
            spokenFrom = std::min(t.size(), next);
    }
    return spokenFrom;
}

} // namespace logview
