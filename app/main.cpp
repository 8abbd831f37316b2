#include "app/form1.h"

#include <cstdio>
#include <unistd.h>

// Where a window cannot be shown, the tester says so and ends with this status.
constexpr int kNoDisplayStatus = 1;

static void sayNoDisplay(const char *why)
{
    std::fprintf(stderr,
                 "looptest: no display (%s): run it in a desktop session, over ssh -X, or "
                 "under xvfb-run\n",
                 why);
}

static QtMessageHandler qtHandler = nullptr;

// Qt ends with abort() and a core when no platform plugin starts: a display named but not
// reachable, or a plugin that cannot run here.
static void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg && text.contains(QLatin1String("Qt platform plugin"))) {
        const QByteArray display = qgetenv("DISPLAY");
        sayNoDisplay(display.isEmpty() ? "the platform plugin could not start"
                                       : ("cannot connect to " + display).constData());
        _exit(kNoDisplayStatus);
    }
    if (qtHandler)
        qtHandler(type, context, text);
}

// The program's entry: application, main window, message loop. Returns 0 in every case.
static int WinMain()
{
    try {
        Application->Initialize();
        Application->CreateForm(Form1);
        Application->Run();
    } catch (Exception &exception) {
        Application->ShowException(&exception);
    } catch (...) {
        try {
            throw Exception(QString());
        } catch (Exception &exception) {
            Application->ShowException(&exception);
        }
    }
    return 0;
}

int main()
{
    // the desktop platforms need a display; offscreen, vnc and the like bring their own
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool needsDisplay = platform.isEmpty() || platform.startsWith("xcb") ||
                              platform.startsWith("wayland");
    if (needsDisplay && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        sayNoDisplay("DISPLAY and WAYLAND_DISPLAY are unset");
        return kNoDisplayStatus;
    }
    qtHandler = qInstallMessageHandler(onQtMessage);
    // a Wayland window cannot place itself: where XWayland runs, take X11 unless the user chose
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        !qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    const int status = WinMain();
    delete Application;
    return status;
}
