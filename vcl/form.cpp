#include "vcl/form.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QWindow>

#include <algorithm>

namespace {

constexpr qint64 kFrameNs = 1000000000 / TForm::kFramesPerSecond;
// Past a frame's time the next change draws it, in the pass of the event loop that made the
// change; the timer waits this much longer, so that at short periods it never wakes the loop
// for a frame a tick is about to draw.
constexpr int kFrameTimerSlackMs = 1;

// A form is a frame to assistive technology, named by its caption, as a main window is.
QAccessibleInterface *formAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("TForm") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

TForm::TForm(QWidget *owner) : QWidget(owner, Qt::Window)
{
    static const bool accessible = (QAccessible::installFactory(formAccessible), true);
    (void)accessible;
}

QEvent::Type TForm::FrameEvent()
{
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
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

bool TForm::DeferToFrame(QWidget *control)
{
    if (!isVisible())
        return false;
    if (std::find(waiting.cbegin(), waiting.cend(), control) == waiting.cend())
        waiting.append(control);
    requestFrame();
    return true;
}

bool TForm::DeferToItsFrame(QWidget *control)
{
    auto *form = qobject_cast<TForm *>(control->window());
    return form && form->DeferToFrame(control);
}

bool TForm::frameDue() const
{
    return !sinceFrame.isValid() || sinceFrame.nsecsElapsed() >= kFrameNs;
}

// A frame that is due is drawn once the change that asked for it is done; one that is not is
// drawn by the first change after its time, or by the timer.
void TForm::requestFrame()
{
    if (framePosted)
        return;
    if (frameDue()) {
        framePosted = true;
        frameTimer.stop();
        QCoreApplication::postEvent(this, new QEvent(FrameEvent()));
    } else if (!frameTimer.isActive()) {
        const qint64 left = kFrameNs - sinceFrame.nsecsElapsed();
        frameTimer.start(int((left + 999999) / 1000000) + kFrameTimerSlackMs, Qt::PreciseTimer,
                         this);
    }
}

void TForm::drawFrame()
{
    sinceFrame.start();
    framePosted = false;
    frameTimer.stop();
    QEvent frame(FrameEvent());
    // a control may change again as it is told: it waits for the frame after
    const auto told = waiting;
    waiting.clear();
    for (const QPointer<QWidget> &control : told)
        if (control)
            QCoreApplication::sendEvent(control, &frame);
    // the update requests the controls made are answered here, with what they marked
    QCoreApplication::removePostedEvents(this, QEvent::UpdateRequest);
    QEvent request(QEvent::UpdateRequest);
    QWidget::event(&request);
}

void TForm::FrameNow()
{
    drawFrame();
}

void TForm::timerEvent(QTimerEvent *e)
{
    if (e->timerId() != frameTimer.timerId()) {
        QWidget::timerEvent(e);
        return;
    }
    frameTimer.stop();
    drawFrame();
}

bool TForm::event(QEvent *e)
{
    if (e->type() == FrameEvent()) {
        framePosted = false;
        if (frameDue())
            drawFrame();
        else
            requestFrame();
        return true;
    }
    if (e->type() == QEvent::UpdateRequest) {
        // what changed meanwhile stays marked dirty and is painted with the next frame
        if (frameDue())
            drawFrame();
        else
            requestFrame();
        return true;
    }
    const bool handled = QWidget::event(e);
    if (e->type() == QEvent::Show && !shownBefore) {
        shownBefore = true;
        // the focus frame shows from the first frame, not only after the first Tab
        setAttribute(Qt::WA_KeyboardFocusChange);
    }
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
