#include "app/form1.h"

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
    // a Wayland window cannot place itself: where XWayland runs, take X11 unless the user chose
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        !qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    const int status = WinMain();
    delete Application;
    return status;
}
