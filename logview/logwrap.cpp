#include "logview/logwrap.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace logview {

namespace {
constexpr std::size_t kRememberedParagraphs = 8;

// Where a row may wrap: after a space. A no-break space is not one.
bool isSpace(char32_t c)
{
    return c == U' ' || c == U'\t' || c == 0x3000 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x205F;
}
} // namespace

LogWrap::LogWrap(const LogText &text) : text(text) {}

void LogWrap::setAdvances(Advances advances)
{
    adv = std::move(advances);
    otherCache.clear();
    reset();
}

void LogWrap::setWidth(double width)
{
    if (width == available)
        return;
    available = width;
    reset();
}

double LogWrap::otherAdvance(char32_t c) const
{
    auto it = otherCache.find(c);
    if (it != otherCache.end())
        return it->second;
    const double w = adv.other ? adv.other(c) : adv.cell['?'];
    otherCache.emplace(c, w);
    return w;
}

Row LogWrap::rowFrom(Pos start) const
{
    const double limit = available > 0 ? available : std::numeric_limits<double>::infinity();
    const Pos total = text.size();
    Row r;
    r.start = start;
    double x = 0;
    Pos wrapAt = -1;   // just after the last space: where the row may end
    Pos pos = start;
    while (pos < total) {
        LogText::Chunk c = text.chunkAt(pos);
        for (Pos k = 0; k < c.length; ++k, ++pos) {
            const Cell cell = c.cells[k];
            double w;
            bool space;
            if (cell == kBreakCell) {
                r.end = pos;
                r.next = pos + 1;
                r.endsParagraph = true;
                return r;
            } else if (const char32_t ch = c.sideChar(k)) {
                space = isSpace(ch);
                w = ch == U'\t' && adv.tabStop > 0
                        ? (std::floor(x / adv.tabStop) + 1) * adv.tabStop - x
                        : otherAdvance(ch);
            } else {
                space = cell == ' ';
                w = adv.cell[cell];
            }
            if (space) {
                x += w;
                wrapAt = pos + 1;
                continue;
            }
            if (x + w > limit && pos > start) {
                r.end = r.next = wrapAt > start ? wrapAt : pos;
                return r;
            }
            x += w;
        }
    }
    r.end = total;
    r.next = -1;
    r.endsParagraph = true;
    return r;
}

double LogWrap::widthTo(Pos start, Pos pos) const
{
    pos = std::min(pos, text.size());
    double x = 0;
    while (start < pos) {
        LogText::Chunk c = text.chunkAt(start);
        for (Pos k = 0; k < c.length && start < pos; ++k, ++start) {
            if (const char32_t ch = c.sideChar(k))
                x += ch == U'\t' && adv.tabStop > 0
                         ? (std::floor(x / adv.tabStop) + 1) * adv.tabStop - x
                         : otherAdvance(ch);
            else
                x += adv.cell[c.cells[k]];
        }
    }
    return x;
}

LogWrap::Paragraph &LogWrap::paragraph(Pos start)
{
    ++clock;
    for (Paragraph &p : paragraphs)
        if (p.start == start) {
            p.used = clock;
            return p;
        }
    if (paragraphs.size() >= kRememberedParagraphs) {
        auto oldest = std::min_element(paragraphs.begin(), paragraphs.end(),
                                       [](const Paragraph &a, const Paragraph &b) {
                                           return a.used < b.used;
                                       });
        paragraphs.erase(oldest);
    }
    Paragraph p;
    p.start = start;
    p.used = clock;
    paragraphs.push_back(std::move(p));
    return paragraphs.back();
}

void LogWrap::extend(Paragraph &p, Pos pos)
{
    while (!p.complete && p.start + p.rows.back() <= pos) {
        const Row r = rowFrom(p.start + p.rows.back());
        if (r.endsParagraph) {
            p.complete = true;
            p.end = r.end;
        } else {
            p.rows.push_back(static_cast<std::uint32_t>(r.next - p.start));
        }
    }
}

Row LogWrap::rowAt(Pos pos)
{
    pos = std::clamp<Pos>(pos, 0, text.size());
    Paragraph &p = paragraph(text.paragraphStart(pos));
    extend(p, pos);
    auto it = std::upper_bound(p.rows.begin(), p.rows.end(), std::uint32_t(pos - p.start));
    return rowFrom(p.start + *(it - 1));
}

Pos LogWrap::previousRowStart(Pos rowStart)
{
    if (rowStart <= 0)
        return -1;
    const Pos start = text.paragraphStart(rowStart);
    if (start == rowStart)
        return rowAt(rowStart - 1).start;   // the last row of the paragraph before
    Paragraph &p = paragraph(start);
    extend(p, rowStart);
    const std::uint32_t offset = std::uint32_t(rowStart - start);
    // rows[0] is 0 and offset is not: there is a row before; when rowStart starts no row, this
    // is the row holding it
    auto it = std::lower_bound(p.rows.begin(), p.rows.end(), offset);
    return start + *(it - 1);
}

void LogWrap::edited(Pos at, Pos removed, Pos inserted)
{
    const Pos delta = inserted - removed;
    for (auto it = paragraphs.begin(); it != paragraphs.end();) {
        Paragraph &p = *it;
        if (at < p.start) {
            if (at + removed >= p.start) {   // the break before it went: it is not one any more
                it = paragraphs.erase(it);
                continue;
            }
            p.start += delta;
            p.end += delta;
        } else if (!(p.complete && at > p.end)) {
            // A row's end depends on text up to the first character that did not fit, which
            // can lie in the row after next: rows from two before the edit are wrapped again.
            const auto row = std::upper_bound(p.rows.begin(), p.rows.end(),
                                              std::uint32_t(at - p.start)) - p.rows.begin() - 1;
            p.rows.resize(std::max<std::ptrdiff_t>(1, row - 1));
            p.complete = false;
        }
        ++it;
    }
}

std::size_t LogWrap::rememberedRows() const
{
    std::size_t n = 0;
    for (const Paragraph &p : paragraphs)
        n += p.rows.size();
    return n;
}

} // namespace logview
