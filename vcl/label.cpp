#include "vcl/label.h"

#include "logview/accessible.h"
#include "vcl/announcer.h"
#include "vcl/form.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPaintEngine>
#include <QPainter>
#include <QRegularExpression>
#include <QStaticText>
#include <QStyle>

#include <cmath>

namespace {

// How QLabel aligns a plain-text caption: left (right for right-to-left text), centred
// vertically, tabs expanded, the text's own direction forced.
int textFlags(const QString &caption)
{
    const bool rtl = caption.isRightToLeft();
    const int align = int(QStyle::visualAlignment(rtl ? Qt::RightToLeft : Qt::LeftToRight,
                                                  Qt::AlignLeft | Qt::AlignVCenter));
    return align | Qt::TextExpandTabs | (rtl ? Qt::TextForceRightToLeft : Qt::TextForceLeftToRight);
}

// A caption as a plain-text QLabel draws it, its size the text's bounding box. One line of
// left-to-right text is laid out once and painted from its glyphs; anything else is left to the
// painter's own layout, as QLabel does.
class Text final : public TLabel::Face {
public:
    Text(const QString &caption, const QFont &font) : text(caption), flags(textFlags(caption))
    {
        const int sizing = (flags & ~(Qt::AlignVCenter | Qt::TextForceLeftToRight |
                                      Qt::TextForceRightToLeft));
        extent = QFontMetrics(font).boundingRect(0, 0, 2000, 2000, sizing, caption).size();
        static const QRegularExpression breaksOrTabs(
            QStringLiteral("[\\t\\n\\r\\x{2028}\\x{2029}]"));
        oneLine = !caption.isRightToLeft() && !caption.contains(breaksOrTabs);
        if (oneLine) {
            prepared.setText(caption);
            prepared.setTextFormat(Qt::PlainText);
            QTextOption option;
            option.setWrapMode(QTextOption::NoWrap);
            prepared.setTextOption(option);
            prepared.prepare(QTransform(), font);
        }
    }
    QSize size() const override { return extent; }
    void paint(QPainter &painter, const QRect &rect) const override
    {
        if (oneLine && rect.size() == extent)
            painter.drawStaticText(rect.topLeft(), prepared);
        else if (!text.isEmpty())
            painter.drawText(rect, flags, text);
    }

private:
    QString text;
    int flags;
    QSize extent;
    bool oneLine = false;
    QStaticText prepared;
};

// Captions are given as text of at least this many characters, spaces after the caption:
// flat review reads a label's text anew each time, but only as many characters as it had.
constexpr int kCaptionField = 8;

// What a screen reader gets from a label: static text named by what its caption says, as from a
// QLabel, with the label-for and labelled-by relations a QLabel's buddy gives; the caption as
// text too, which Orca's flat review reads afresh each time (a name it reads once).
class LabelAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LabelAccessible(QWidget *label) : QAccessibleWidget(label, QAccessible::StaticText) {}
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override
    {
        QString name = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && name.isEmpty())
            name = label()->spokenText();
        return name;
    }
    int childCount() const override { return mutableLabel()->announcer() ? 1 : 0; }
    QAccessibleInterface *child(int index) const override
    {
        Announcer *a = mutableLabel()->announcer();
        return index == 0 && a ? a->bar() : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        Announcer *a = mutableLabel()->announcer();
        return a && child && child == a->bar() ? 0 : -1;
    }

    // --- QAccessibleTextInterface: the caption, read-only
    QString text(int start, int end) const override { return field().mid(start, end - start); }
    int characterCount() const override { return int(field().size()); }
    QRect characterRect(int) const override { return rect(); }
    int offsetAtPoint(const QPoint &point) const override { return rect().contains(point) ? 0 : -1; }
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    void selection(int, int *start, int *end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int *start, int *end) const override
    {
        *start = 0;
        *end = characterCount();
        return QString();
    }
    QList<QPair<QAccessibleInterface *, QAccessible::Relation>>
    relations(QAccessible::Relation match) const override
    {
        auto found = QAccessibleWidget::relations(match);
        if ((match & QAccessible::Labelled) && label()->labelFor())
            found.append({QAccessible::queryAccessibleInterface(label()->labelFor()),
                          QAccessible::Labelled});
        if (match & QAccessible::Label)
            for (TLabel *caption : TLabel::LabelsOf(label()))
                found.append({QAccessible::queryAccessibleInterface(caption), QAccessible::Label});
        return found;
    }

private:
    const TLabel *label() const { return static_cast<const TLabel *>(widget()); }
    TLabel *mutableLabel() const { return static_cast<TLabel *>(widget()); }
    QString field() const
    {
        const QString said = label()->spokenText();
        return said.size() >= kCaptionField ? said : said.leftJustified(kCaptionField);
    }
};

QAccessibleInterface *labelAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("TLabel") && object && object->isWidgetType())
        return new LabelAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

TLabel::TLabel(QWidget *parent, int left, int top, const QString &caption, const QFont &font)
    : QWidget(parent)
{
    static const bool accessible = (QAccessible::installFactory(labelAccessible), true);
    (void)accessible;
    setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred, QSizePolicy::Label));
    setFont(font);
    move(left, top);
    SetCaption(caption);
}

void TLabel::SetCaption(const QString &text)
{
    if (text == caption)
        return;
    caption = text;
    shown = nullptr;
    if (!TForm::DeferToItsFrame(this))
        showCaption();
}

bool TLabel::event(QEvent *event)
{
    if (event->type() == TForm::FrameEvent()) {
        showCaption();
        return true;
    }
    return QWidget::event(event);
}

void TLabel::showCaption()
{
    const QSize fitted = face().size();
    if (fitted != size()) {
        resize(fitted);
        markOwnBackground();
    }
    update();
    // only a layout asks for the size hint; without one, telling the parent would be an event
    if (parentWidget() && parentWidget()->layout())
        updateGeometry();
    if (QAccessible::isActive() && !captionTimer.isActive()) {
        const qint64 since =
            sinceTold.isValid() ? sinceTold.elapsed() : logview::kAnnouncementInterval;
        if (since >= logview::kAnnouncementInterval)
            tellCaption();
        else
            captionTimer.start(int(logview::kAnnouncementInterval - since), this);
    }
}

void TLabel::tellCaption()
{
    sinceTold.start();
    QAccessibleEvent changed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

void TLabel::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != captionTimer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    captionTimer.stop();
    if (QAccessible::isActive())
        tellCaption();
}

QList<TLabel *> TLabel::LabelsOf(const QWidget *control)
{
    QList<TLabel *> labels;
    if (control && control->parentWidget())
        for (TLabel *label : control->parentWidget()->findChildren<TLabel *>(
                 QString(), Qt::FindDirectChildrenOnly))
            if (label->labelFor() == control)
                labels.append(label);
    return labels;
}

QSize TLabel::sizeHint() const
{
    return face().size();
}

std::shared_ptr<const TLabel::Face> TLabel::TextFace(const QString &caption, const QFont &font)
{
    return std::make_shared<Text>(caption, font);
}

void TLabel::SetFaceMaker(FaceMaker newMaker)
{
    maker = std::move(newMaker);
    forgetFaces();
    if (!caption.isEmpty())
        resize(face().size());
    update();
}

void TLabel::forgetFaces()
{
    faces.clear();
    pictures.clear();
    shown = nullptr;
}

const TLabel::Face &TLabel::face() const
{
    if (!shown) {
        auto found = faces.constFind(caption);
        if (found == faces.constEnd()) {
            if (faces.size() >= kMaxFaces) {
                faces.clear();
                const_cast<TLabel *>(this)->pictures.clear();
            }
            const_cast<TLabel *>(this)->ensurePolished();
            found = faces.insert(caption,
                                 maker ? maker(caption, font()) : TextFace(caption, font()));
        }
        shown = found->get();
    }
    return *shown;
}

void TLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QBrush *back = plainBackground();
    if (testAttribute(Qt::WA_OpaquePaintEvent) && !back) {
        // a control came beneath since the caption changed: the next paint shows it
        setAttribute(Qt::WA_OpaquePaintEvent, false);
        if (parentWidget())
            parentWidget()->update(geometry());
    }
    // the colour a style option made from the label would give, without making one each frame
    const QPen pen(palette().brush(foregroundRole()), painter.pen().widthF());
    // the picture holds the background too
    if (const QImage *picture = back && isEnabled() ? pictureFor(painter, pen, *back) : nullptr) {
        painter.drawImage(QPoint(0, 0), *picture);
        return;
    }
    if (back && testAttribute(Qt::WA_OpaquePaintEvent))
        painter.fillRect(rect(), *back);
    if (!isEnabled()) {
        // as rarely as this is seen, the style draws it afresh each time
        style()->drawItemText(&painter, rect(), textFlags(caption), palette(), false, caption,
                              foregroundRole());
        return;
    }
    painter.setPen(pen);
    face().paint(painter, rect());
}

const QBrush *TLabel::plainBackground() const
{
    const QWidget *parent = parentWidget();
    if (!parent || autoFillBackground() || !parent->autoFillBackground() || graphicsEffect())
        return nullptr;
    const QBrush &back = parent->palette().brush(parent->backgroundRole());
    if (back.style() != Qt::SolidPattern || !back.isOpaque())
        return nullptr;
    // a control beneath the label shows through it
    for (const QObject *child : parent->children()) {
        if (child == this)
            break;
        const auto *below = qobject_cast<const QWidget *>(child);
        if (below && below->isVisibleTo(parent) && !below->isWindow() &&
            below->geometry().intersects(geometry()))
            return nullptr;
    }
    return &back;
}

void TLabel::markOwnBackground()
{
    const bool own = plainBackground() != nullptr;
    if (own != testAttribute(Qt::WA_OpaquePaintEvent))
        setAttribute(Qt::WA_OpaquePaintEvent, own);
}

// A caption drawn over its parent's plain background gives the same pixels each time: at 60
// frames a second its glyphs are drawn once, into an image of the device's own format that
// later frames copy.
const QImage *TLabel::pictureFor(QPainter &painter, const QPen &pen, const QBrush &back)
{
    QPaintDevice *device = painter.paintEngine() ? painter.paintEngine()->paintDevice() : nullptr;
    if (!pen.color().isValid() || !device || device->devType() != QInternal::Image)
        return nullptr;
    const QImage &target = *static_cast<const QImage *>(device);
    // at a fractional scale a label may start between device pixels, which a copy cannot
    if (target.devicePixelRatio() != std::floor(target.devicePixelRatio()))
        return nullptr;
    const PictureKey key{back.color().rgba(), pen.color().rgba(), int(target.format()),
                         target.devicePixelRatio()};
    if (!(key == pictureKey)) {
        pictures.clear();
        pictureKey = key;
    }
    const Face *drawn = &face();
    auto it = pictures.find(drawn);
    if (it == pictures.end() || it->deviceIndependentSize() != QSizeF(size())) {
        QImage picture(size() * key.ratio, target.format());
        picture.setDevicePixelRatio(key.ratio);
        picture.fill(back.color());
        QPainter p(&picture);
        p.setFont(font());
        p.setLayoutDirection(layoutDirection());
        p.setPen(pen);
        drawn->paint(p, rect());
        p.end();
        it = pictures.insert(drawn, picture);
    }
    return &*it;
}

void TLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        forgetFaces();
    QWidget::changeEvent(event);
}
