#include "vcl/receivedlabel.h"

#include "logview/cells.h"

#include <QPainter>

#include <cmath>

namespace {

class BoxFace final : public TLabel::Face {
public:
    BoxFace(std::shared_ptr<const logview::HexBox> box, std::uint8_t byte)
        : box(std::move(box)), byte(byte),
          extent(int(std::ceil(this->box->size().width())),
                 int(std::ceil(this->box->size().height())))
    {
    }
    QSize size() const override { return extent; }
    void paint(QPainter &painter, const QRect &rect) const override
    {
        box->paint(painter, QRectF(rect.topLeft(), box->size()), byte, painter.pen().color());
    }

private:
    std::shared_ptr<const logview::HexBox> box;
    std::uint8_t byte;
    QSize extent;
};

} // namespace

ReceivedLabel::ReceivedLabel(QWidget *parent, int left, int top, const QString &caption,
                             const QFont &font)
    : TLabel(parent, left, top, caption, font)
{
    SetFaceMaker([this](const QString &c, const QFont &f) { return makeFace(c, f); });
}

QString ReceivedLabel::spokenText() const
{
    const int byte = text().size() == 1 ? logview::byteOf(text()[0].unicode()) : -1;
    if (byte > 0 && logview::isHexBoxByte(std::uint8_t(byte)))
        return logview::hexBoxName(std::uint8_t(byte));
    return text();
}

void ReceivedLabel::tellCaption()
{
    TLabel::tellCaption();
    if (isActiveWindow() && !(quietFor && quietFor->hasFocus()))
        said.say(spokenText());
}

std::shared_ptr<const TLabel::Face> ReceivedLabel::makeFace(const QString &caption,
                                                            const QFont &font)
{
    const int byte = caption.size() == 1 ? logview::byteOf(caption[0].unicode()) : -1;
    if (byte <= 0 || !logview::isHexBoxByte(std::uint8_t(byte)))
        return TextFace(caption, font);
    if (!hexBox || hexFont != font) {
        hexBox = std::make_shared<const logview::HexBox>(font);
        hexFont = font;
    }
    return std::make_shared<BoxFace>(hexBox, std::uint8_t(byte));
}
