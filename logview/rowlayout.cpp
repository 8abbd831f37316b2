#include "logview/rowlayout.h"

#include "logview/chars.h"
#include "logview/cells.h"

#include <QGlyphRun>
#include <QPainter>
#include <QRawFont>
#include <QTextOption>

#include <algorithm>
#include <array>

namespace logview {

namespace {

// The characters a row may be drawn glyph by glyph in: printable ASCII, half-width katakana
// but their sound marks, and the hex box's placeholder; their index, or -1. Tabs (their stops
// count from the row's start), marks and right-to-left text never are.
constexpr int kSimpleChars = 157;
int simpleIndex(char16_t c)
{
    if (c >= 0x20 && c <= 0x7E)
        return c - 0x20;
    if (c >= 0xFF61 && c <= 0xFF9D)
        return 95 + (c - 0xFF61);
    return c == kPlaceholder ? 156 : -1;
}

// Whether a GSUB table names a feature that joins or swaps glyphs by their neighbours; true for
// one it cannot read.
bool substitutesByContext(const QByteArray &gsub)
{
    if (gsub.isEmpty())
        return false;
    const auto u16 = [&](qsizetype at) {
        return at + 2 <= gsub.size() ? int(uchar(gsub[at])) << 8 | uchar(gsub[at + 1]) : -1;
    };
    const int list = u16(6);
    const int count = list < 0 ? -1 : u16(list);
    if (count < 0 || list + 2 + 6 * qsizetype(count) > gsub.size())
        return true;
    for (int i = 0; i < count; ++i) {
        const QByteArrayView tag(gsub.constData() + list + 2 + 6 * i, 4);
        for (const char *joining : {"liga", "clig", "calt", "rlig", "rclt", "dlig"})
            if (tag == QByteArrayView(joining, 4))
                return true;
    }
    return false;
}

std::shared_ptr<QTextLayout> shapeRow(const QString &text, const QFont &font)
{
    auto layout = std::make_shared<QTextLayout>(text, font);
    layout->setCacheEnabled(true);
    layOutRow(*layout);
    return layout;
}

} // namespace

// Each simple character's glyph in a font, as a row laid out of it alone places it, where the
// font shapes a row of them as its characters one by one: it places no glyph by its neighbour
// (no GPOS or kern table) and joins none by context (ccmp only composes a base with its marks,
// and no simple character is a mark), and the font draws the character itself, so that no
// fallback font with rules of its own takes part.
struct GlyphTable {
    explicit GlyphTable(const QFont &f) : font(f)
    {
        // lines drawn through the text, spacing and case changes are the layout's to place
        if (font.underline() || font.overline() || font.strikeOut() || font.letterSpacing() != 0 ||
            font.wordSpacing() != 0 || font.capitalization() != QFont::MixedCase)
            return;
        for (char16_t c = 0x20; c <= 0xFF9D; ++c) {
            const int i = simpleIndex(c);
            if (i < 0)
                continue;
            QTextLayout alone(QString(QChar(c)), font);
            layOutRow(alone);
            const QList<QGlyphRun> runs = alone.glyphRuns();
            if (runs.size() != 1 || runs[0].glyphIndexes().size() != 1)
                continue;
            if (!raw.isValid()) {
                raw = runs[0].rawFont();
                if (!raw.fontTable("GPOS").isEmpty() || !raw.fontTable("kern").isEmpty() ||
                    substitutesByContext(raw.fontTable("GSUB")))
                    return;
            } else if (!(runs[0].rawFont() == raw)) {
                continue;
            }
            glyph[i] = {true, runs[0].glyphIndexes()[0], runs[0].positions()[0],
                        alone.lineAt(0).cursorToX(1)};
        }
    }
    bool covers(const QString &text) const
    {
        for (QChar c : text) {
            const int i = simpleIndex(c.unicode());
            if (i < 0 || !glyph[i].drawn)
                return false;
        }
        return raw.isValid();
    }
    struct Glyph {
        bool drawn = false;
        quint32 index = 0;
        QPointF at;   // from where the character starts on the row's top
        qreal advance = 0;
    };
    QFont font;
    QRawFont raw;
    std::array<Glyph, kSimpleChars> glyph{};
};

RowText::RowText(const LogText &store, const Row &r, bool withBoxes) : row(r)
{
    text.reserve(qsizetype(row.end - row.start));
    const auto &units = cellUnits();
    for (Pos pos = row.start; pos < row.end;) {
        LogText::Chunk c = store.chunkAt(pos);
        const Pos n = std::min(c.length, row.end - pos);
        for (Pos k = 0; k < n; ++k) {
            const char32_t ch = c.sideChar(k);
            if (!ch) {
                const char16_t u = units[c.cells[k]];
                if (u == kPlaceholder && withBoxes)
                    boxes.push_back({int(text.size()), c.cells[k]});
                text.append(QChar(u));
                continue;
            }
            if (QChar::requiresSurrogates(ch)) {
                wide.push_back(pos + k);
                text.append(QChar(QChar::highSurrogate(ch)));
                text.append(QChar(QChar::lowSurrogate(ch)));
            } else {
                text.append(QChar(char16_t(ch)));
            }
        }
        pos += n;
    }
}

int RowText::indexOf(Pos pos) const
{
    const auto before = std::lower_bound(wide.begin(), wide.end(), pos) - wide.begin();
    return int(pos - row.start + before);
}

Pos RowText::positionAt(int index) const
{
    Pos pos = row.start + index;
    for (Pos w : wide)
        if (indexOf(w) < index)
            --pos;
    return std::min(pos, row.end);
}

void layOutRow(QTextLayout &layout)
{
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(kTabStop);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLeadingIncluded(true);
    line.setPosition(QPointF(0, 0));
    layout.endLayout();
}

void ShapedRow::draw(QPainter &painter, const QPointF &origin, const QRectF &clip,
                     qreal overhang) const
{
    if (layout) {
        layout->draw(&painter, origin, {}, clip);
        return;
    }
    // the characters whose ink may reach the clip
    const qreal left = clip.left() - origin.x() - overhang, right = clip.right() - origin.x() + overhang;
    const auto first = std::upper_bound(xs.begin(), xs.end() - 1, left) - xs.begin() - 1;
    const auto last = std::upper_bound(xs.begin(), xs.end() - 1, right) - xs.begin();
    const qsizetype from = std::max<qsizetype>(0, first), to = std::min<qsizetype>(glyphs.size(), last);
    if (from >= to)
        return;
    QGlyphRun run;
    run.setRawFont(font);
    run.setGlyphIndexes(glyphs.mid(from, to - from));
    run.setPositions(positions.mid(from, to - from));
    painter.drawGlyphRun(origin, run);
}

qreal ShapedRow::cursorToX(int index) const
{
    if (layout)
        return layout->lineAt(0).cursorToX(index);
    return xs[std::size_t(std::clamp<qsizetype>(index, 0, qsizetype(xs.size()) - 1))];
}

QTextLayout *RowLayouts::layoutFor(const QString &text, const QFont &font)
{
    auto it = layouts.find(text);
    if (it == layouts.end())
        it = layouts.insert(text, {});
    it->frame = frame;
    if (!it->layout)
        it->layout = shapeRow(text, font);
    return it->layout.get();
}

const ShapedRow &RowLayouts::rowFor(const QString &text, const QFont &font)
{
    auto it = layouts.find(text);
    if (it == layouts.end())
        it = layouts.insert(text, {});
    it->frame = frame;
    ShapedRow &row = it->row;
    if (row.layout || !row.xs.empty())
        return row;
    if (!glyphTable || !(glyphTable->font == font))
        glyphTable = std::make_shared<const GlyphTable>(font);
    if (!glyphTable->covers(text)) {
        if (!it->layout)
            it->layout = shapeRow(text, font);
        row.layout = it->layout;
        return row;
    }
    row.font = glyphTable->raw;
    row.glyphs.reserve(text.size());
    row.positions.reserve(text.size());
    row.xs.reserve(std::size_t(text.size()) + 1);
    qreal x = 0;
    for (QChar c : text) {
        const GlyphTable::Glyph &g = glyphTable->glyph[std::size_t(simpleIndex(c.unicode()))];
        row.glyphs.append(g.index);
        row.positions.append(QPointF(x + g.at.x(), g.at.y()));
        row.xs.push_back(x);
        x += g.advance;
    }
    row.xs.push_back(x);
    return row;
}

void RowLayouts::endFrame()
{
    for (auto it = layouts.begin(); it != layouts.end();)
        it = it->frame == frame ? std::next(it) : layouts.erase(it);
}

} // namespace logview
