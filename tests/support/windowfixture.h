// The window as the in-process tests use it: a mocked COM3, TForm1 opened on it with the
// process-wide stores as at start-up, and its tick. A test class derives from it and calls
// openWindow() in init() (then QVERIFY(showWindow()) where it looks at pixels or keys) and
// closeWindow() in cleanup().
#pragma once

#include "looptest/exchange.h"
#include "looptest/form1.h"
#include "tests/support/testbed.h"

#include <QTest>

class WindowFixture {
public:
    WindowFixture() = default;
    WindowFixture(const WindowFixture &) = delete;
    WindowFixture &operator=(const WindowFixture &) = delete;
    ~WindowFixture() { closeWindow(); }

protected:
    void openWindow()
    {
        line = new ComTestbed;
        form = new TForm1(nullptr);
        // the stores keep their values from the test before: back to what the program starts with
        TestChar = 47;
        SendByte = 0;
        ReceiveByte = 0;
    }
    // Puts the window on screen and, with `active`, gives it the keyboard; false when it never
    // got there.
    [[nodiscard]] bool showWindow(bool active = false)
    {
        form->show();
        if (!QTest::qWaitForWindowExposed(form))
            return false;
        if (!active)
            return true;
        form->activateWindow();
        return QTest::qWaitForWindowActive(form);
    }
    void closeWindow()
    {
        if (form) {
            form->MsTimer1->SetEnabled(false);
            form->close();
        }
        delete form;
        delete line;
        form = nullptr;
        line = nullptr;
    }
    // One tick, as the timer gives it.
    void tick() { form->MsTimer1Timer(form->MsTimer1); }

    ComTestbed *line = nullptr;
    TForm1 *form = nullptr;
};
