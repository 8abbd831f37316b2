// A top-level window of the component layer, placed by its outer rectangle.
#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QEvent>
#include <QMargins>
#include <QPointer>
#include <QRect>
#include <QVarLengthArray>
#include <QWidget>

#include "vcl/application.h"

#include <functional>

// What closing a form does: caHide closes it (ending the program for the main form), caNone keeps
// it open.
enum TCloseAction { caNone, caHide };

// A top-level window placed by its outer (frame) rectangle, as the layout gives it. It draws at
// most kFramesPerSecond frames a second: at a 1 ms period every tick changes the window, and
// no one can see more than the display shows. A control keeps its state at every change and
// leaves what only the screen needs (its size, update requests, what assistive technology is
// told) to the next frame, which sends it FrameEvent first and then paints, so that nothing
// shown is older than a frame.
class TForm : public QWidget {
    Q_OBJECT
public:
    explicit TForm(QWidget *owner = nullptr);
    void SetBounds(int left, int top, int width, int height);
    std::function<void(TObject *sender, TCloseAction &action)> OnClose;
    static constexpr int kFramesPerSecond = 60;

    // What a control that changed is sent before the frame that shows the change is painted.
    static QEvent::Type FrameEvent();
    // `control` has changed: it is sent FrameEvent with the next frame. False while the form is
    // not shown, when no frame comes: the control does its screen work at once.
    bool DeferToFrame(QWidget *control);
    // The same for the form `control` is on; false where it is on none.
    static bool DeferToItsFrame(QWidget *control);
    // Draws the frame that is waiting now, whatever the frame rate: for a picture of the window
    // as it stands.
    void FrameNow();

protected:
    bool event(QEvent *e) override;
    void timerEvent(QTimerEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void fitFrame();
    bool frameDue() const;
    void requestFrame();
    void drawFrame();
    QRect outer;
    QMargins fittedMargins;
    bool shownBefore = false;
    QElapsedTimer sinceFrame;
    QBasicTimer frameTimer;     // the next frame, for when no change comes after it is due
    bool framePosted = false;   // FrameEvent is on its way to the form itself
    QVarLengthArray<QPointer<QWidget>, 8> waiting;   // controls the next frame sends FrameEvent
};
