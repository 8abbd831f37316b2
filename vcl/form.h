// A top-level window of the component layer, placed by its outer rectangle.
#pragma once

#include <QElapsedTimer>
#include <QMargins>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include "vcl/application.h"

#include <functional>

// What closing a form does: caHide closes it (ending the program for the main form), caNone keeps
// it open.
enum TCloseAction { caNone, caHide };

// A top-level window placed by its outer (frame) rectangle, as the layout gives it. It repaints
// at most kFramesPerSecond times a second: at a 1 ms period every tick changes the window, and
// a repaint per tick would cost more than the tick itself while no one could see the difference.
class TForm : public QWidget {
    Q_OBJECT
public:
    explicit TForm(QWidget *owner = nullptr);
    void SetBounds(int left, int top, int width, int height);
    std::function<void(TObject *sender, TCloseAction &action)> OnClose;
    static constexpr int kFramesPerSecond = 60;

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void fitFrame();
    QRect outer;
    QMargins fittedMargins;
    bool shownBefore = false;
    QElapsedTimer sinceRepaint;
    QTimer *deferredRepaint;
};
