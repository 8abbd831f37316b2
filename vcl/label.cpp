#include "vcl/label.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStaticText>
#include <QStyle>
#include <QStyleOption>
#include <QWindow>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

TApplication *Application = new TApplication;

namespace {

// The signals that ask the program to end: it ends as when the operator closes the window.
const int closeSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the signal handler, read by the event loop.
int closeSignalPipe[2] = {-1, -1};

void onCloseSignal(int)
{
    const int savedErrno = errno;
    const char byte = 0;
    // a full pipe already holds a request to close
    [[maybe_unused]] ssize_t n = write(closeSignalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

TApplication::TApplication() = default;

TApplication::~TApplication()
{
    delete mainForm;
}

void TApplication::Initialize()
{
    // the tool takes no command line: Qt sees only a program name
    static int argc = 1;
    static char name[] = "looptest";
    static char *argv[] = {name, nullptr};
    if (!QApplication::instance())
        qapp = std::make_unique<QApplication>(argc, argv);
    closeOnSignals();
}

// A signal only marks the close; the event loop does it, also inside a modal box's loop.
void TApplication::closeOnSignals()
{
    if (closeSignalPipe[0] >= 0 || pipe2(closeSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(closeSignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [this] {
        char drained[64];
        while (read(closeSignalPipe[0], drained, sizeof drained) > 0) {
        }
        if (mainForm)
            mainForm->close();
        else
            QCoreApplication::exit(0);   // a box shown before any window: end its loop
    });
    struct sigaction sa {};
    sa.sa_handler = onCloseSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : closeSignals) {
        struct sigaction old;
        // started with it ignored (nohup, a background job): it stays ignored
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
}

void TApplication::adopt(TForm *form)
{
    if (!mainForm)
        mainForm = form;
}

void TApplication::Run()
{
    if (!mainForm)
        return;
    mainForm->show();
    QApplication::exec();
}

void TApplication::Terminate()
{
    QCoreApplication::exit(0);
}

void TApplication::ShowException(const Exception *e)
{
    if (!QApplication::instance()) {
        std::fprintf(stderr, "%s\n", e->what());
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("looptest"), e->Message,
                    QMessageBox::Ok, mainForm);
    box.exec();
}

// MB_OK is the only flag the window code passes: one OK button, no icon.
int TApplication::MessageBox(const QString &text, const QString &caption, int /*flags*/)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, mainForm);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return IDOK;
}

QFont JapaneseFont(int pixelHeight, bool bold)
{
    static const QStringList families = [] {
        QStringList list{QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")};
        const QStringList japanese = QFontDatabase::families(QFontDatabase::Japanese);
        if (!japanese.isEmpty())
            list << japanese.first();
        return list;
    }();
    QFont font;
    font.setFamilies(families);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

// --- TForm ------------------------------------------------------------------------------------

TForm::TForm(QWidget *owner) : QWidget(owner, Qt::Window), deferredRepaint(new QTimer(this))
{
    deferredRepaint->setSingleShot(true);
    deferredRepaint->setTimerType(Qt::PreciseTimer);
    connect(deferredRepaint, &QTimer::timeout, this,
            [this] { QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest)); });
}

void TForm::SetBounds(int left, int top, int width, int height)
{
    outer = QRect(left, top, width, height);
    resize(width, height);
    move(left, top);
}

// The layout gives the outer size; once the window manager's frame is known, the client area
// shrinks by it. Without a frame the client area has the outer size.
void TForm::fitFrame()
{
    if (!windowHandle() || outer.isNull())
        return;
    const QMargins m = windowHandle()->frameMargins();
    if (m == fittedMargins)
        return;
    fittedMargins = m;
    resize(outer.width() - m.left() - m.right(), outer.height() - m.top() - m.bottom());
    move(outer.topLeft());
}

bool TForm::event(QEvent *e)
{
    if (e->type() == QEvent::UpdateRequest) {
        // what changed meanwhile stays marked dirty and is painted with the next frame
        const qint64 frame = 1000 / kFramesPerSecond;
        if (sinceRepaint.isValid() && sinceRepaint.elapsed() < frame) {
            if (!deferredRepaint->isActive())
                deferredRepaint->start(int(frame - sinceRepaint.elapsed()));
            return true;
        }
        sinceRepaint.start();
    }
    const bool handled = QWidget::event(e);
    switch (e->type()) {
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowActivate:
        fitFrame();
        break;
    default:
        break;
    }
    return handled;
}

void TForm::closeEvent(QCloseEvent *e)
{
    TCloseAction action = caHide;
    if (OnClose)
        OnClose(this, action);
    if (action == caNone) {
        e->ignore();
        return;
    }
    e->accept();
    if (Application->MainForm() == this)
        Application->Terminate();
}

// --- controls ---------------------------------------------------------------------------------

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

// What a screen reader gets from a label: static text named by its caption, as from a QLabel.
class LabelAccessible : public QAccessibleWidget {
public:
    explicit LabelAccessible(QWidget *label) : QAccessibleWidget(label, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override
    {
        QString name = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && name.isEmpty())
            name = static_cast<const TLabel *>(widget())->text();
        return name;
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
    const QSize fitted = face().size();
    if (fitted != size())
        resize(fitted);
    update();
    // only a layout asks for the size hint; without one, telling the parent would be an event
    if (parentWidget() && parentWidget()->layout())
        updateGeometry();
    if (QAccessible::isActive()) {
        QAccessibleEvent changed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&changed);
    }
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
    shown = nullptr;
}

const TLabel::Face &TLabel::face() const
{
    if (!shown) {
        auto found = faces.constFind(caption);
        if (found == faces.constEnd()) {
            if (faces.size() >= kMaxFaces)
                faces.clear();
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
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    if (!isEnabled()) {
        // as rarely as this is seen, the style draws it afresh each time
        style()->drawItemText(&painter, rect(), textFlags(caption), option.palette, false, caption,
                              foregroundRole());
        return;
    }
    painter.setPen(QPen(option.palette.brush(foregroundRole()), painter.pen().widthF()));
    face().paint(painter, rect());
}

void TLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        forgetFaces();
    QWidget::changeEvent(event);
}

TButton::TButton(QWidget *parent, const QRect &bounds, const QString &caption, const QFont &font)
    : QPushButton(caption, parent)
{
    setFont(font);
    setGeometry(bounds);
    connect(this, &QPushButton::clicked, this, [this] {
        if (OnClick)
            OnClick(this);
    });
}

TComboBox::TComboBox(QWidget *parent, const QRect &bounds, const QStringList &items,
                     const QString &text, const QFont &font, int itemHeight)
    : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);   // typed text never becomes an item
    setFont(font);
    setGeometry(bounds);
    addItems(items);
    for (int i = 0; i < count(); ++i)
        setItemData(i, QSize(0, itemHeight), Qt::SizeHintRole);
    setCurrentIndex(-1);
    setEditText(text);
    auto changed = [this] {
        if (OnChange)
            OnChange(this);
    };
    connect(this, &QComboBox::activated, this, changed);
    connect(lineEdit(), &QLineEdit::textEdited, this, changed);
}

int TComboBox::ItemIndex() const
{
    const int current = currentIndex();
    if (current >= 0 && itemText(current) == currentText())
        return current;
    return findText(currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

void TComboBox::SetItemIndex(int index)
{
    setCurrentIndex(index);
    if (index < 0)
        setEditText(QString());
}

TRichEdit::TRichEdit(QWidget *parent, const QRect &bounds, const QString &line, const QFont &font)
    : LogView(parent), Lines(&lines), lines(this)
{
    setFont(font);
    setGeometry(bounds);
    setPlainText(line);
}

void TRichEditLines::Add(const QString &line)
{
    edit->appendParagraph(line);
}

void TRichEditLines::Clear()
{
    edit->clear();
}
