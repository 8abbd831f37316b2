#include "logview/hexbox.h"

#include "logview/cells.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace logview {

namespace {

// The hex digits, 3 by 5 pixels: one row a 3-bit number, the high bit on the left.
constexpr std::uint8_t kDigits[16][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
    {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {2, 5, 7, 5, 5}, {6, 5, 6, 5, 6},
    {3, 4, 4, 4, 3}, {6, 5, 5, 5, 6}, {7, 4, 7, 4, 7}, {7, 4, 7, 4, 4},
};

} // namespace

// A box is one digit pixel of frame, one of space, two digits with one between, and the same
// again on the other side: 11 by 9 digit pixels.
HexBox::HexBox(const QFont &textFont)
{
    const QFontMetricsF fm(textFont);
    cell = QSizeF(fm.horizontalAdvance(QString(QChar(kPlaceholder))), fm.height());
}

int HexBox::pixelScale(qreal ratio) const
{
    return std::max(1, std::min(int(cell.width() * ratio - 1) / 11,
                                int(cell.height() * ratio - 1) / 9));
}

void HexBox::paint(QPainter &p, const QRectF &area, std::uint8_t byte, const QColor &color) const
{
    // a transform that only scales and moves has whole device pixels to snap to
    const QTransform &device = p.deviceTransform();
    const bool upright = device.type() <= QTransform::TxScale && device.m11() > 0 &&
                         device.m11() == device.m22();
    const qreal ratio = upright ? device.m11() : 1.0;
    Drawn *set = &drawn[0];
    if (drawn[0].color != color.rgba() || drawn[0].ratio != ratio) {
        set = &drawn[1];
        if (drawn[1].color != color.rgba() || drawn[1].ratio != ratio) {
            std::swap(drawn[0], drawn[1]);   // the set used longest ago goes
            drawn[1] = Drawn();
            drawn[1].color = color.rgba();
            drawn[1].ratio = ratio;
        }
    }
    const int s = pixelScale(ratio);
    const QSize box(11 * s, 9 * s);
    QImage &image = set->boxes[byte];
    if (image.isNull()) {
        image = QImage(box, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        const QRgb ink = qPremultiply(color.rgba());
        auto fill = [&](int x, int y, int w, int h) {
            for (int yy = y; yy < y + h; ++yy)
                for (int xx = x; xx < x + w; ++xx)
                    image.setPixel(xx, yy, ink);
        };
        fill(0, 0, box.width(), s);
        fill(0, box.height() - s, box.width(), s);
        fill(0, s, s, box.height() - 2 * s);
        fill(box.width() - s, s, s, box.height() - 2 * s);
        for (int d = 0; d < 2; ++d) {
            const auto &rows = kDigits[d == 0 ? byte >> 4 : byte & 0xF];
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 3; ++x)
                    if (rows[y] & (4 >> x))
                        fill((2 + 4 * d + x) * s, (2 + y) * s, s, s);
        }
    }
    if (!upright) {
        p.drawImage(area.center() - QPointF(box.width(), box.height()) / 2, image);
        return;
    }
    // whole device pixels: every copy of the box is the same pixels, and the digits stay crisp
    const QPointF corner = device.map(area.topLeft());
    const QPointF at(std::round(corner.x() + (area.width() * ratio - box.width()) / 2),
                     std::round(corner.y() + (area.height() * ratio - box.height()) / 2));
    p.drawImage(device.inverted().map(at), image);
}

const std::uint8_t *hexDigitRows(int digit)
{
    return kDigits[digit & 0xF];
}

QString hexBoxName(std::uint8_t byte)
{
    static const char *const controls[32] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
        "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
        "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    if (byte < 0x20)
        return QString::fromLatin1(controls[byte]);
    if (byte == 0x7F)
        return QStringLiteral("DEL");
    return QStringLiteral("0x") + QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace logview
