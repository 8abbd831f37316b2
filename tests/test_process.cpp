// The real program as a process, on a private X display with a window manager: how it ends
// when the port fails, and a whole run against the simulated far end driven by real input.
#include "tests/support/testbed.h"
#include "tests/support/xsession.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString title = QStringLiteral("Windows→RS232C");

struct Outcome {
    QByteArray out, err;
    int status = -1;
    bool exitedNormally = false;
};

Outcome finish(QProcess &p, int timeoutMs)
{
    Outcome o;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    o.status = p.exitCode();
    o.exitedNormally = p.exitStatus() == QProcess::NormalExit;
    return o;
}

} // namespace

class ProcessTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void startupFailureEndsWithItsLineAndNoWindow_data();
    void startupFailureEndsWithItsLineAndNoWindow();
    void farEndHangingUpWhileSendingEndsTheRun();
    void runAtAShortPeriodSendsTheExactCycleAndClosesCleanly();

private:
    Outcome runTester(const ComTestbed &testbed);
    QProcess *startFarend(const QStringList &options);
    void click(const QString &window, int x, int y);
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

Outcome ProcessTest::runTester(const ComTestbed &testbed)
{
    QProcess p;
    p.setProcessEnvironment(x->environment(testbed.environment()));
    p.start(QStringLiteral(LOOPTEST_BINARY), {});
    return finish(p, 30000);
}

QProcess *ProcessTest::startFarend(const QStringList &options)
{
    auto *p = new QProcess(this);
    p->setProcessEnvironment(x->environment(QProcessEnvironment::systemEnvironment()));
    p->start(QStringLiteral(FAREND_BINARY), options);
    return p;
}

void ProcessTest::click(const QString &window, int cx, int cy)
{
    x->tool(QStringLiteral("xdotool"), {"mousemove", "--window", window, QString::number(cx),
                                        QString::number(cy), "click", "1"});
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
    if (kind == ComTestbed::NoPort) {
        // without /dev/COM3 the tester takes /dev/ttyS2, which the mock leaves reachable
        int real = open("/dev/ttyS2", O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (real >= 0) {
            close(real);
            QSKIP("this machine has a working /dev/ttyS2");
        }
    }
    ComTestbed testbed(static_cast<ComTestbed::Kind>(kind));
    int holder = -1;
    if (held) {
        holder = open(testbed.devicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(holder >= 0);
        QCOMPARE(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    MapWatch watch(*x);
    const Outcome o = runTester(testbed);
    const bool mapped = watch.sawAMap();
    if (holder >= 0)
        close(holder);
    QCOMPARE(o.out, line);
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.status, 0);
    QVERIFY(!mapped);
}

void ProcessTest::farEndHangingUpWhileSendingEndsTheRun()
{
    QProcess *farend = startFarend({"--hangup-after", "2"});
    const QString window = x->waitForWindow(title, 20000);
    QVERIFY(!window.isEmpty());
    click(window, 564, 48);   // Button1: start at 1000 ms
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
    click(window, 600, 136);   // the period list's arrow
    QTest::qWait(300);
    for (int i = 0; i < 10; ++i)   // "1000" down to "10"
        x->tool(QStringLiteral("xdotool"), {"key", "Down"});
    x->tool(QStringLiteral("xdotool"), {"key", "Return"});
    QTest::qWait(200);
    click(window, 564, 48);   // start
    QTest::qWait(1500);
    click(window, 564, 48);   // stop
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

QTEST_GUILESS_MAIN(ProcessTest)
#include "test_process.moc"
