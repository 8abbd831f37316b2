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

HexBox::HexBox(const QFont &textFont)
{
    const QFontMetricsF fm(textFont);
    cell = QSizeF(fm.horizontalAdvance(QString(QChar(kPlaceholder))), fm.height());
}

// A box is a frame, a space, two digits with a space between, a space and a frame: 11 by 9 digit
// pixels, each as many device pixels as fit the cell with one to spare. Where that leaves the
// digits no bigger than at 1x though the cell has grown (1.5x), the digits take one device pixel
// more than the frame and spaces, so that they grow with the text.
HexBox::Shape HexBox::shape(qreal ratio) const
{
    const int width = int(cell.width() * ratio) - 1;
    const int height = int(cell.height() * ratio) - 1;
    const int s = std::max(1, std::min(width / 11, height / 9));
    const Shape thicker{s, s + 1};
    if (thicker.size().width() <= width && thicker.size().height() <= height)
        return thicker;
    return Shape{s, s};
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
    const Shape look = shape(ratio);
    const QSize box = look.size();
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
        const int f = look.frame, px = look.digit;
        fill(0, 0, box.width(), f);
        fill(0, box.height() - f, box.width(), f);
        fill(0, f, f, box.height() - 2 * f);
        fill(box.width() - f, f, f, box.height() - 2 * f);
        for (int d = 0; d < 2; ++d) {
            const auto &rows = kDigits[d == 0 ? byte >> 4 : byte & 0xF];
            const int left = 2 * f + d * (3 * px + f);
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 3; ++x)
                    if (rows[y] & (4 >> x))
                        fill(left + x * px, 2 * f + y * px, px, px);
        }
    }
    if (!upright) {
        p.drawImage(area.center() - QPointF(box.width(), box.height()) / 2, image);
        return;
    }
    // whole device pixels: every copy of the box is the same pixels, and the digits stay crisp
    const qreal x = std::round(area.left() * ratio + device.dx() +
                               (area.width() * ratio - box.width()) / 2);
    const qreal y = std::round(area.top() * ratio + device.dy() +
                               (area.height() * ratio - box.height()) / 2);
    p.drawImage(QPointF((x - device.dx()) / ratio, (y - device.dy()) / ratio), image);
}

const std::uint8_t *hexDigitRows(int digit)
{
    return kDigits[digit & 0xF];
}

QString hexBoxName(std::uint8_t byte)
{
    const std::string_view name = boxName(byte);
    return QString::fromLatin1(name.data(), qsizetype(name.size()));
}

} // namespace logview
