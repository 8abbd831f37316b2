// The real program as a process, on a private X display with a window manager: how it ends
// when the port fails, how every other end leaves the line, and a whole run against the
// simulated far end driven by real input.
#include "looptest/layout.h"
#include "tests/support/fdio.h"
#include "tests/support/linecheck.h"
#include "tests/support/outcome.h"
#include "tests/support/testbed.h"
#include "tests/support/xsession.h"

#include <QtTest>

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString title = QString::fromUtf8(Layout::caption);

// How a run ends, short of SIGKILL.
enum End {
    WindowClosed,
    Terminated,
    Interrupted,
    TerminalClosed,
    DisplayLost,
    LineHungUp,
    FatalSignal,
};

// Exit status of a tester that could not be given a /dev of its own.
constexpr int kNoPrivateDev = 77;

// Starts the tester with the dispositions a desktop gives it, whatever the test runner had;
// with `emptyDev`, in a mount namespace of its own whose /dev is empty, so that it finds no
// COM3 and no /dev/ttyS2 and can reach no other program's device.
void startTester(QProcess &tester, const QProcessEnvironment &env, bool emptyDev = false)
{
    tester.setProcessEnvironment(env);
    tester.setChildProcessModifier([emptyDev] {
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            signal(sig, SIG_DFL);
        if (emptyDev && (unshare(CLONE_NEWNS) != 0 ||
                         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                         mount("none", "/dev", "tmpfs", 0, "mode=755") != 0))
            _exit(kNoPrivateDev);
    });
    tester.start(QStringLiteral(LOOPTEST_BINARY), {});
}

} // namespace

class ProcessTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void startupFailureEndsWithItsLineAndNoWindow_data();
    void startupFailureEndsWithItsLineAndNoWindow();
    void withoutADisplayItSaysSoAndEndsWithoutACore_data();
    void withoutADisplayItSaysSoAndEndsWithoutACore();
    void outOfDescriptorsBeforeTheWindowRefusesTheStartAndLeavesTheLine();
    void farEndHangingUpWhileSendingEndsTheRun();
    void runAtAShortPeriodSendsTheExactCycleAndClosesCleanly();
    void everyEndGivesTheLineBackAsItWasFound_data();
    void everyEndGivesTheLineBackAsItWasFound();
    void aCloseSignalWhileTheReadWarningIsUpEndsAsAClose();

private:
    Outcome runTester(const ComTestbed &testbed, bool emptyDev = false);
    QProcess *startFarend(const QStringList &options);
    void click(const QString &window, QPoint at);
    XSession *x = nullptr;
};

void ProcessTest::initTestCase()
{
    x = new XSession;
    if (!x->ok())
        QFAIL("no X display could be started (Xvfb)");
}

void ProcessTest::cleanupTestCase()
{
    delete x;
}

Outcome ProcessTest::runTester(const ComTestbed &testbed, bool emptyDev)
{
    QProcess p;
    startTester(p, x->environment(testbed.environment()), emptyDev);
    return finish(p, 30000);
}

QProcess *ProcessTest::startFarend(const QStringList &options)
{
    auto *p = new QProcess(this);
    p->setProcessEnvironment(x->environment(QProcessEnvironment::systemEnvironment()));
    p->start(QStringLiteral(FAREND_BINARY), options);
    return p;
}

void ProcessTest::click(const QString &window, QPoint at)
{
    x->tool(QStringLiteral("xdotool"), {"mousemove", "--window", window, QString::number(at.x()),
                                        QString::number(at.y()), "click", "1"});
}

void ProcessTest::startupFailureEndsWithItsLineAndNoWindow_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("held");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("no COM3") << int(ComTestbed::NoPort) << false
                             << QByteArray("Port could not open.\n");
    QTest::newRow("COM3 held by another program") << int(ComTestbed::Terminal) << true
                                                  << QByteArray("Port could not open.\n");
    QTest::newRow("COM3 not a terminal") << int(ComTestbed::PlainFile) << false
                                         << QByteArray("SetupComm failed.\n");
}

void ProcessTest::startupFailureEndsWithItsLineAndNoWindow()
{
    QFETCH(int, kind);
    QFETCH(bool, held);
    QFETCH(QByteArray, line);
    ComTestbed testbed(static_cast<ComTestbed::Kind>(kind));
    int holder = -1;
    if (held) {
        holder = open(testbed.devicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(holder >= 0);
        QCOMPARE(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    MapWatch watch(*x);
    // the mock leaves the machine's own devices reachable: without one of its own the tester
    // would open the machine's /dev/COM3 or /dev/ttyS2
    const Outcome o = runTester(testbed, kind == ComTestbed::NoPort);
    const bool mapped = watch.sawAMap();
    if (holder >= 0)
        close(holder);
    if (o.status == kNoPrivateDev)
        QSKIP("a private mount namespace needs CAP_SYS_ADMIN");
    QCOMPARE(o.out, line);
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.status, 0);
    QVERIFY(!mapped);
}

void ProcessTest::withoutADisplayItSaysSoAndEndsWithoutACore_data()
{
    QTest::addColumn<bool>("throughFarend");
    QTest::addColumn<QString>("display");
    QTest::newRow("tester, no display named") << false << QString();
    QTest::newRow("tester, display named but not there") << false << QStringLiteral(":198");
    QTest::newRow("farend running the tester, no display named") << true << QString();
    QTest::newRow("tester, only a Wayland display named, not there") << false << QString();
}

void ProcessTest::withoutADisplayItSaysSoAndEndsWithoutACore()
{
    QFETCH(bool, throughFarend);
    QFETCH(QString, display);
    if (!display.isEmpty() && QFile::exists("/tmp/.X11-unix/X" + display.mid(1)))
        QSKIP("that display exists here");
    const bool waylandOnly = QByteArray(QTest::currentDataTag()).contains("Wayland");
    const QString wayland = QStringLiteral("looptest-no-such-wayland");
    ComTestbed testbed(ComTestbed::Terminal);
    QProcessEnvironment env = testbed.environment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    if (waylandOnly)
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), wayland);
    QProcess p;
    if (throughFarend) {
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(FAREND_BINARY), {});
    } else {
        startTester(p, env);
    }
    const Outcome o = finish(p, 30000);
    QVERIFY2(o.exitedNormally, o.err.constData());   // no abort, no core
    QCOMPARE(o.status, 1);
    QCOMPARE(o.out, QByteArray());
    if (waylandOnly) {
        // what was tried: the Wayland display named (or its plugin missing), and no X display
        const QByteArray prefix = "looptest: no display (";
        const int at = o.err.indexOf(prefix);
        QVERIFY2(at >= 0, o.err.constData());
        const int end = o.err.indexOf("): run it", at);
        const QByteArray said = o.err.mid(at + prefix.size(), end - at - int(prefix.size()));
        QVERIFY2(said.contains(wayland.toLatin1()) && said.contains("DISPLAY is unset") &&
                     !said.contains("are unset"),
                 said.constData());
        QVERIFY(o.err.endsWith("run it in a desktop session, over ssh -X, or under xvfb-run\n"));
        return;
    }
    const QByteArray line = "looptest: no display (" +
                            (display.isEmpty() ? QByteArray("DISPLAY and WAYLAND_DISPLAY are unset")
                                               : "cannot connect to " + display.toLatin1()) +
                            "): run it in a desktop session, over ssh -X, or under xvfb-run\n";
    QVERIFY2(o.err.contains(line), o.err.constData());
    if (!throughFarend && display.isEmpty())
        QCOMPARE(o.err, line);
}

void ProcessTest::outOfDescriptorsBeforeTheWindowRefusesTheStartAndLeavesTheLine()
{
    ComTestbed testbed(ComTestbed::Terminal, ComTestbed::RealIoctls);
    const QByteArray devicePath = QFile::encodeName(testbed.devicePath());
    const int keeper = open(devicePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(keeper >= 0);
    auto closeKeeper = qScopeGuard([&] { close(keeper); });
    const QByteArray before = startWithKernelDefaultsAt19200(keeper);
    QVERIFY(!before.isEmpty());
    const QString lock = lockFileFor(testbed.devicePath());

    MapWatch watch(*x);
    QProcess p;
    p.setProcessEnvironment(x->environment(testbed.environment()));
    p.setChildProcessModifier([] {
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            signal(sig, SIG_DFL);
        // only the standard descriptors pass exec, and one more is allowed: enough to load the
        // libraries one at a time, not for the close-signal pipe's two ends
        for (int fd = 3; fd < 1024; ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 4;
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    p.start(QStringLiteral(LOOPTEST_BINARY), {});
    const Outcome o = finish(p, 30000);
    const bool mapped = watch.sawAMap();
    QVERIFY2(o.exitedNormally, o.err.constData());
    QCOMPARE(o.status, 1);
    QCOMPARE(o.out, QByteArray());
    QCOMPARE(o.err, QByteArray("looptest: cannot watch for SIGTERM, SIGINT and SIGHUP "
                               "(pipe2: Too many open files)\n"));
    QVERIFY(!mapped);
    // refused before the port: the line as it was, no lock file, exclusive mode never set
    QCOMPARE(settingsOf(keeper), before);
    QVERIFY(!exclusiveMode(keeper));
    QVERIFY(lock.isEmpty() || !QFileInfo::exists(lock));
}

void ProcessTest::farEndHangingUpWhileSendingEndsTheRun()
{
    QProcess *farend = startFarend({"--hangup-after", "2"});
    const QString window = x->waitForWindow(title, 20000);
    QVERIFY(!window.isEmpty());
    click(window, Layout::startStopClick);   // Button1: start at 1000 ms
    const Outcome o = finish(*farend, 30000);
    QVERIFY(o.out == "EscapeCommFunction failed.\n" || o.out == "WriteFile failed.\n");
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.status, 0);
    // the line was cut after the second byte; the third tick ended the run
    QVERIFY2(o.err.contains("received 2 bytes") || o.err.contains("received 3 bytes"),
             o.err.constData());
}

void ProcessTest::runAtAShortPeriodSendsTheExactCycleAndClosesCleanly()
{
    QProcess *farend = startFarend({});
    const QString window = x->waitForWindow(title, 20000);
    QVERIFY(!window.isEmpty());
    click(window, Layout::periodArrowClick);
    QTest::qWait(300);
    for (int i = 0; i < 10; ++i)   // "1000" down to "10"
        x->tool(QStringLiteral("xdotool"), {"key", "Down"});
    x->tool(QStringLiteral("xdotool"), {"key", "Return"});
    QTest::qWait(200);
    click(window, Layout::startStopClick);   // start
    QTest::qWait(1500);
    click(window, Layout::startStopClick);   // stop
    QTest::qWait(300);
    x->tool(QStringLiteral("xdotool"), {"windowactivate", "--sync", window});
    x->tool(QStringLiteral("xdotool"), {"key", "alt+F4"});
    const Outcome o = finish(*farend, 30000);
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.status, 0);
    QCOMPARE(o.out, QByteArray());
    QVERIFY2(o.err.contains("test cycle exact"), o.err.constData());
    const QRegularExpression counts(QStringLiteral("received (\\d+) bytes, sent (\\d+) bytes"));
    const auto m = counts.match(QString::fromLatin1(o.err));
    QVERIFY(m.hasMatch());
    QCOMPARE(m.captured(1), m.captured(2));
    // 1.5 s at 10 ms: well over the 16 a 1000 ms period would have sent
    QVERIFY2(m.captured(1).toInt() > 40, o.err.constData());
}

void ProcessTest::everyEndGivesTheLineBackAsItWasFound_data()
{
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("crashes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("window closed") << int(WindowClosed) << false << 0 << QByteArray();
    QTest::newRow("SIGTERM") << int(Terminated) << false << 0 << QByteArray();
    QTest::newRow("SIGINT") << int(Interrupted) << false << 0 << QByteArray();
    QTest::newRow("SIGHUP") << int(TerminalClosed) << false << 0 << QByteArray();
    // the toolkit ends the program with status 1 when its display goes
    QTest::newRow("X server killed") << int(DisplayLost) << false << 1 << QByteArray();
    QTest::newRow("line hung up") << int(LineHungUp) << false << 0
                                  << QByteArray("EscapeCommFunction failed.\n");
    QTest::newRow("SIGUSR1") << int(FatalSignal) << true << int(SIGUSR1) << QByteArray();
}

void ProcessTest::everyEndGivesTheLineBackAsItWasFound()
{
    QFETCH(int, end);
    QFETCH(bool, crashes);
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    ComTestbed testbed(ComTestbed::Terminal, ComTestbed::RealIoctls);
    const QString device = testbed.devicePath();
    const QByteArray devicePath = QFile::encodeName(device);
    // held for the whole run, so that the terminal and its settings outlive the tester's open
    const int keeper = open(devicePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(keeper >= 0);
    auto closeKeeper = qScopeGuard([&] { close(keeper); });
    const QByteArray before = startWithKernelDefaultsAt19200(keeper);
    QVERIFY(!before.isEmpty());
    const QString lock = lockFileFor(device);

    // a display of its own when it is to be killed, so that the shared one survives
    std::unique_ptr<XSession> ownDisplay;
    if (end == DisplayLost) {
        ownDisplay = std::make_unique<XSession>();
        QVERIFY(ownDisplay->ok());
    }
    const XSession *display = ownDisplay ? ownDisplay.get() : x;
    QProcess tester;
    startTester(tester, display->environment(testbed.environment()));
    const QString window = display->waitForWindow(title, 20000);
    QVERIFY(!window.isEmpty());
    // the tester holds the line
    QVERIFY(settingsOf(keeper) != before);
    QVERIFY(exclusiveMode(keeper));
    QVERIFY(lock.isEmpty() || QFileInfo::exists(lock));

    switch (end) {
    case WindowClosed:
        x->tool(QStringLiteral("xdotool"), {"windowactivate", "--sync", window});
        x->tool(QStringLiteral("xdotool"), {"key", "alt+F4"});
        break;
    case Terminated:
        kill(tester.processId(), SIGTERM);
        break;
    case Interrupted:
        kill(tester.processId(), SIGINT);
        break;
    case TerminalClosed:
        kill(tester.processId(), SIGHUP);
        break;
    case DisplayLost:
        ownDisplay->killServer();
        break;
    case LineHungUp:
        click(window, Layout::startStopClick);   // Button1: start at 1000 ms
        QVERIFY(readableWithin(testbed.far(), 5000));
        // between ticks: the next one meets the hung-up line at asserting RTS
        QThread::msleep(100);
        if (ioctl(keeper, TIOCVHANGUP) != 0)
            QSKIP("hanging up a terminal needs CAP_SYS_ADMIN");
        break;
    case FatalSignal:
        kill(tester.processId(), SIGUSR1);
        break;
    }
    const Outcome o = finish(tester, 30000);
    QCOMPARE(o.out, line);
    QCOMPARE(o.exitedNormally, !crashes);
    QCOMPARE(o.status, status);

    // opened afresh: a hang-up leaves the keeper's descriptor dead
    const int check = open(devicePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(check >= 0);
    auto closeCheck = qScopeGuard([&] { close(check); });
    QCOMPARE(settingsOf(check), before);
    QVERIFY(!exclusiveMode(check));
    QVERIFY2(lock.isEmpty() || !QFileInfo::exists(lock), qPrintable(lock));
}

void ProcessTest::aCloseSignalWhileTheReadWarningIsUpEndsAsAClose()
{
    // the warning comes up only when the line hangs up between a tick's write and its read,
    // 5 ms at most: tried until one hang-up lands there
    for (int attempt = 0; attempt < 10; ++attempt) {
        ComTestbed testbed(ComTestbed::Terminal, ComTestbed::RealIoctls);
        const QString lock = lockFileFor(testbed.devicePath());
        QProcess tester;
        startTester(tester, x->environment(testbed.environment()));
        const QString window = x->waitForWindow(title, 20000);
        QVERIFY(!window.isEmpty());
        click(window, Layout::startStopClick);   // Button1: start at 1000 ms
        QVERIFY(readableWithin(testbed.far(), 5000));
        testbed.hangUp();
        if (x->waitForWindow(QStringLiteral("警告"), 3000).isEmpty()) {
            finish(tester, 30000);   // the next tick met the hung-up line instead
            continue;
        }
        kill(tester.processId(), SIGTERM);
        const Outcome o = finish(tester, 30000);
        QCOMPARE(o.out, QByteArray());
        QVERIFY(o.exitedNormally);
        QCOMPARE(o.status, 0);
        QVERIFY2(lock.isEmpty() || !QFileInfo::exists(lock), qPrintable(lock));
        return;
    }
    QFAIL("no hang-up fell between a write and its read in ten runs");
}

QTEST_GUILESS_MAIN(ProcessTest)
#include "test_process.moc"
