#include "app/vcl.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMessageBox>
#include <QSocketNotifier>
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

TLabel::TLabel(QWidget *parent, int left, int top, const QString &caption, const QFont &font)
    : QLabel(parent)
{
    setFont(font);
    move(left, top);
    SetCaption(caption);
}

void TLabel::SetCaption(const QString &caption)
{
    if (caption == text())
        return;
    setText(caption);
    adjustSize();
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
