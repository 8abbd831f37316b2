// The drawing of a byte that no font shows: its two hex digits in a thin frame, as text
// toolkits draw a character they have no glyph for. The digits are the program's own, 3 by 5
// pixels drawn in whole device pixels, so that the box looks the same whatever fonts are
// installed and wherever it stands at any scale factor.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRectF>

#include <array>
#include <cstdint>

class QPainter;

namespace logview {

class HexBox {
public:
    explicit HexBox(const QFont &textFont);
    // The size a box takes beside text of the font: the placeholder's advance, one line high.
    QSizeF size() const { return cell; }
    // Draws `byte`'s box centred in `area`, a character cell, snapped to whole device pixels.
    void paint(QPainter &p, const QRectF &area, std::uint8_t byte, const QColor &color) const;
    // How a box is built at `ratio` device pixels a logical pixel, in whole device pixels: the
    // frame's thickness (also the space inside it and between the digits) and a digit pixel's.
    struct Shape {
        int frame = 1;
        int digit = 1;
        QSize size() const { return QSize(5 * frame + 6 * digit, 4 * frame + 5 * digit); }
    };
    Shape shape(qreal ratio) const;

private:
    QSizeF cell;
    // each byte's box in the colour and at the ratio last asked for, made on first use: a paint
    // only copies it
    struct Drawn {
        QRgb color = 0;
        qreal ratio = 0;
        std::array<QImage, 256> boxes;
    };
    mutable Drawn drawn[2];   // the text's colour and the selection's
};

// boxName() as a QString.
QString hexBoxName(std::uint8_t byte);

// A hex digit's shape: five rows of three pixels, each row a 3-bit number, the high bit left.
const std::uint8_t *hexDigitRows(int digit);

} // namespace logview
