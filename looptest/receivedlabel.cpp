#include "looptest/receivedlabel.h"

#include "logview/cells.h"

#include <QEvent>
#include <QPainter>

#include <cmath>

int ReceivedLabel::boxedByte() const
{
    const QString &t = text();
    if (t.size() != 1)
        return -1;
    const int byte = logview::byteOf(t[0].unicode());
    return byte > 0 && logview::isHexBoxByte(std::uint8_t(byte)) ? byte : -1;
}

const logview::HexBox &ReceivedLabel::box() const
{
    if (!hexBox)
        hexBox.emplace(font());
    return *hexBox;
}

QSize ReceivedLabel::sizeHint() const
{
    if (boxedByte() < 0)
        return TLabel::sizeHint();
    const QSizeF s = box().size();
    return QSize(int(std::ceil(s.width())), int(std::ceil(s.height())));
}

void ReceivedLabel::paintEvent(QPaintEvent *e)
{
    const int byte = boxedByte();
    if (byte < 0) {
        TLabel::paintEvent(e);
        return;
    }
    QPainter p(this);
    box().paint(p, QRectF(QPointF(0, 0), box().size()), std::uint8_t(byte),
                palette().color(foregroundRole()));
}

void ReceivedLabel::changeEvent(QEvent *e)
{
    if (e->type() == QEvent::FontChange)
        hexBox.reset();
    TLabel::changeEvent(e);
}
