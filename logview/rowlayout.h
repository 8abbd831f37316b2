// A row of the log as Qt lays it out: its text in UTF-16, the mapping between positions in the
// log and indexes in that text, the one way a row's line is laid out, and the layouts of the
// rows on screen, kept from frame to frame.
#pragma once

#include "logview/logtext.h"
#include "logview/logwrap.h"

#include <QFont>
#include <QHash>
#include <QRawFont>
#include <QTextLayout>

#include <cstdint>
#include <memory>
#include <vector>

class QPainter;

namespace logview {

struct RowText {
    struct Box {
        int index;   // in `text`
        std::uint8_t byte;
    };
    Row row;
    QString text;              // a hex box's placeholder for each byte drawn as one
    std::vector<Pos> wide;     // characters that take two UTF-16 units, by position
    std::vector<Box> boxes;    // the hex boxes, when asked for

    RowText(const LogText &store, const Row &row, bool withBoxes = false);
    int indexOf(Pos pos) const;
    Pos positionAt(int index) const;
};

// Every row layout, the height probe included, is one unwrapped line with the same tab stops.
void layOutRow(QTextLayout &layout);

// A row's text shaped for painting: laid out whole, or, where each character is shaped alone
// in the font (see GlyphTable in rowlayout.cpp), each character's own glyph placed after the
// last, so that a row that grows needs no shaping and a frame draws only the glyphs it changes.
class ShapedRow {
public:
    // Draws what reaches `clip`; a glyph's ink may stand out of its advance by up to `overhang`.
    void draw(QPainter &painter, const QPointF &origin, const QRectF &clip, qreal overhang) const;
    qreal cursorToX(int index) const;

private:
    friend class RowLayouts;
    std::shared_ptr<QTextLayout> layout;   // null: the glyphs below
    QRawFont font;
    QList<quint32> glyphs;
    QList<QPointF> positions;
    std::vector<qreal> xs;   // where each character starts, then where the row ends
};

struct GlyphTable;

// Rows shaped for the last frame, by their text: a row that stays on screen is shaped once.
class RowLayouts {
public:
    QTextLayout *layoutFor(const QString &text, const QFont &font);
    // The same text for painting without selection, caret or text being composed.
    const ShapedRow &rowFor(const QString &text, const QFont &font);
    // Where the hex boxes of a row laid out by layoutFor start; empty until found.
    std::vector<qreal> &boxX(const QString &text) { return layouts[text].boxX; }

    // Painting a frame: at its end, the layouts it did not use go.
    void beginFrame() { ++frame; }
    void endFrame();
    void clear() { layouts.clear(); }

private:
    struct Shaped {
        std::shared_ptr<QTextLayout> layout;   // the whole row, once asked for
        quint64 frame = 0;
        std::vector<qreal> boxX;
        ShapedRow row;   // empty until painted
    };
    QHash<QString, Shaped> layouts;
    std::shared_ptr<const GlyphTable> glyphTable;   // for the font last painted in
    quint64 frame = 0;
};

} // namespace logview
