#include "looptest/form1.h"

#include <cstdio>
#include <unistd.h>

static void sayNoDisplay(const char *why)
{
    std::fprintf(stderr,
                 "looptest: no display (%s): run it in a desktop session, over ssh -X, or "
                 "under xvfb-run\n",
                 why);
}

static QtMessageHandler qtHandler = nullptr;
static bool waylandPluginMissing = false;   // Qt said so on its way to the next platform

// What Qt tried before it gave up, from the variables it read: "cannot connect to :1",
// "cannot connect to wayland-0; DISPLAY is unset".
static QByteArray displaysTried()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    const QByteArray x11 = qgetenv("DISPLAY");
    QByteArrayList tried;
    if (platform.startsWith("wayland") || (platform.isEmpty() && !wayland.isEmpty())) {
        const QByteArray name = wayland.isEmpty() ? QByteArray("wayland-0") : wayland;
        tried << (waylandPluginMissing
                      ? "no Wayland platform plugin for " + name + ": qt6-wayland is not installed"
                      : "cannot connect to " + name);
    }
    if (platform.isEmpty() || platform.startsWith("xcb"))
        tried << (x11.isEmpty() ? QByteArray("DISPLAY is unset") : "cannot connect to " + x11);
    return tried.isEmpty() ? QByteArray("the platform plugin could not start") : tried.join("; ");
}

// Qt ends with abort() and a core when no platform plugin starts: a display named but not
// reachable, or a plugin that cannot run here.
static void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.contains(QLatin1String("Could not find the Qt platform plugin \"wayland\"")))
        waylandPluginMissing = true;
    if (type == QtFatalMsg && text.contains(QLatin1String("Qt platform plugin"))) {
        sayNoDisplay(displaysTried().constData());
        _exit(kNotStartedStatus);
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
        return kNotStartedStatus;
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
