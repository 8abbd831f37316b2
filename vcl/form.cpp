#include "vcl/form.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QWindow>

namespace {

// A form is a frame to assistive technology, named by its caption, as a main window is.
QAccessibleInterface *formAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("TForm") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

TForm::TForm(QWidget *owner) : QWidget(owner, Qt::Window), deferredRepaint(new QTimer(this))
{
    static const bool accessible = (QAccessible::installFactory(formAccessible), true);
    (void)accessible;
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
