#include "vcl/application.h"

#include "vcl/form.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    // before anything opens: a close signal that could not reach the loop would not give the
    // line back
    if (closeSignalPipe[0] < 0 && pipe2(closeSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "looptest: cannot watch for SIGTERM, SIGINT and SIGHUP (pipe2: %s)\n",
                     std::strerror(errno));
        std::exit(kNotStartedStatus);
    }
    // At a thousand ticks a second the loop's own cost counts: Qt's event dispatcher makes a
    // pass with less work than glib's, and a frame's few small rectangles go to the X server
    // on its socket, where shared memory makes each frame wait for the server to be done with
    // the last. Either stays as the user sets it.
    for (const char *setting : {"QT_NO_GLIB", "QT_XCB_NO_MITSHM"})
        if (!qEnvironmentVariableIsSet(setting))
            qputenv(setting, "1");
    if (!QApplication::instance())
        qapp = std::make_unique<QApplication>(argc, argv);
    closeOnSignals();
}

// A signal only marks the close; the event loop does it, also inside a modal box's loop.
void TApplication::closeOnSignals()
{
    static bool watching = false;
    if (watching)
        return;
    watching = true;
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
