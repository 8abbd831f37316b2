// The millisecond timer: when ticks come, when they stop, and that they never pile up.
#include "timer/mstimer.h"

#include <QtTest>

#include <cerrno>

#include <dlfcn.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

bool settingFails = false;   // the kernel refuses every new setting of a timer

// What standard error receives while it lives.
class StderrCapture {
public:
    StderrCapture()
    {
        fflush(stderr);
        saved = dup(STDERR_FILENO);
        if (pipe(ends) == 0)
            dup2(ends[1], STDERR_FILENO);
    }
    ~StderrCapture() { text(); }
    QByteArray text()
    {
        if (saved >= 0) {
            fflush(stderr);
            dup2(saved, STDERR_FILENO);
            close(saved);
            close(ends[1]);
            saved = -1;
            char buf[4096];
            ssize_t n;
            while ((n = read(ends[0], buf, sizeof buf)) > 0)
                captured.append(buf, int(n));
            close(ends[0]);
        }
        return captured;
    }

private:
    int saved = -1;
    int ends[2] = {-1, -1};
    QByteArray captured;
};

} // namespace

// The timer's calls land here first, so that a test can have the kernel refuse them.
extern "C" int timerfd_settime(int fd, int flags, const itimerspec *setting, itimerspec *old)
{
    if (settingFails) {
        errno = EINVAL;
        return -1;
    }
    using Call = int (*)(int, int, const itimerspec *, itimerspec *);
    static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "timerfd_settime"));
    return real(fd, flags, setting, old);
}

class TimerTest : public QObject {
    Q_OBJECT
private slots:
    void ticksWhileEnabledAndNeverAfterDisable();
    void disablingFromTheHandlerStopsAtOnce();
    void intervalSetWhileStoppedDoesNotStart();
    void intervalSetWhileRunningAppliesToTheRunningTimer();
    void aModalLoopInTheHandlerIsNotReentered();
    void ticksDueDuringASlowHandlerMergeIntoOne();
    void aTickDueDuringASlowHandlerComesRightAfterIt();
    void ticksMissedWhileTheEventLoopWasBusyComeLate();
    void aSettingTheKernelRefusesIsReportedAndStoppingStillStops();
};

void TimerTest::aSettingTheKernelRefusesIsReportedAndStoppingStillStops()
{
    TMsTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](QObject *) { ++ticks; };
    auto restore = qScopeGuard([] { settingFails = false; });
    const QByteArray line =
        "looptest: the millisecond timer keeps its last setting (timerfd_settime: Invalid "
        "argument)\n";

    // refused start: said, and no tick
    {
        StderrCapture err;
        settingFails = true;
        timer.SetInterval(1);
        timer.SetEnabled(true);
        settingFails = false;
        QCOMPARE(err.text(), line);
    }
    QTest::qWait(50);
    QCOMPARE(ticks, 0);

    // running, a refused change of period: said, and the ticks go on at the old one
    timer.SetEnabled(false);
    timer.SetEnabled(true);
    QTRY_VERIFY(ticks >= 3);
    {
        StderrCapture err;
        settingFails = true;
        timer.SetInterval(1000);
        QCOMPARE(err.text(), line);
    }
    const int atChange = ticks;
    QTRY_VERIFY(ticks >= atChange + 20);   // at 1000 ms these would outlast QTRY's wait

    // a refused stop still stops the ticks, and says nothing: nothing is lost
    {
        StderrCapture err;
        timer.SetEnabled(false);
        QCOMPARE(err.text(), QByteArray());
    }
    const int atStop = ticks;
    QTest::qWait(50);
    QCOMPARE(ticks, atStop);
}

void TimerTest::ticksWhileEnabledAndNeverAfterDisable()
{
    TMsTimer timer;
    int ticks = 0;
    QObject *sender = nullptr;
    timer.OnTimer = [&](QObject *s) {
        ++ticks;
        sender = s;
    };
    timer.SetInterval(1);
    timer.SetEnabled(true);
    QTRY_VERIFY(ticks >= 5);
    QCOMPARE(sender, &timer);
    timer.SetEnabled(false);
    const int atStop = ticks;
    QTest::qWait(50);
    QCOMPARE(ticks, atStop);

    timer.SetEnabled(true);
    QTRY_VERIFY(ticks > atStop);
}

void TimerTest::disablingFromTheHandlerStopsAtOnce()
{
    TMsTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](QObject *) {
        if (++ticks == 3)
            timer.SetEnabled(false);
    };
    timer.SetInterval(1);
    timer.SetEnabled(true);
    QTRY_COMPARE(ticks, 3);
    QTest::qWait(50);
    QCOMPARE(ticks, 3);
}

void TimerTest::intervalSetWhileStoppedDoesNotStart()
{
    TMsTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](QObject *) { ++ticks; };
    timer.SetInterval(1);
    QTest::qWait(50);
    QCOMPARE(ticks, 0);
    QVERIFY(!timer.Enabled());
    timer.SetEnabled(true);
    QTRY_VERIFY(ticks > 0);
}

void TimerTest::intervalSetWhileRunningAppliesToTheRunningTimer()
{
    TMsTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](QObject *) { ++ticks; };
    timer.SetInterval(1000);
    timer.SetEnabled(true);
    QTest::qWait(50);
    QCOMPARE(ticks, 0);   // the first tick is a whole period away
    timer.SetInterval(2);
    QTRY_VERIFY(ticks >= 5);
    QVERIFY(timer.Enabled());
}

void TimerTest::aModalLoopInTheHandlerIsNotReentered()
{
    TMsTimer timer;
    int ticks = 0, depth = 0, deepest = 0, ticksInsideLoop = -1;
    timer.OnTimer = [&](QObject *) {
        ++ticks;
        deepest = std::max(deepest, ++depth);
        if (ticks == 1) {
            QEventLoop modal;   // as a message box opened from the handler runs one
            QTimer::singleShot(40, &modal, &QEventLoop::quit);
            modal.exec();
            ticksInsideLoop = ticks - 1;
        }
        --depth;
    };
    timer.SetInterval(1);
    timer.SetEnabled(true);
    QTRY_VERIFY(ticks >= 3);
    timer.SetEnabled(false);
    QCOMPARE(deepest, 1);
    QCOMPARE(ticksInsideLoop, 0);
}

void TimerTest::ticksDueDuringASlowHandlerMergeIntoOne()
{
    TMsTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](QObject *) {
        if (++ticks == 1)
            usleep(30000);   // some thirty ticks come due meanwhile
    };
    timer.SetInterval(1);
    timer.SetEnabled(true);
    while (ticks < 1)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    // the thirty come as one, not as a burst (a fresh expiration may share the pass)
    while (ticks < 2)
        QCoreApplication::processEvents();
    QVERIFY(ticks <= 3);
    timer.SetEnabled(false);
}

void TimerTest::aTickDueDuringASlowHandlerComesRightAfterIt()
{
    TMsTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](QObject *) {
        if (++ticks == 1)
            usleep(600000);   // the next tick comes due meanwhile
    };
    timer.SetInterval(500);
    timer.SetEnabled(true);
    while (ticks < 1)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    // without waiting: the one after is some 400 ms away, the owed one is already queued
    for (int pass = 0; pass < 5 && ticks < 2; ++pass)
        QCoreApplication::processEvents();
    QCOMPARE(ticks, 2);
    timer.SetEnabled(false);
}

void TimerTest::ticksMissedWhileTheEventLoopWasBusyComeLate()
{
    TMsTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](QObject *) { ++ticks; };
    // 5 ms: the catch-up window holds 10 ticks, and the passes below take far less than a
    // period on a quiet machine, so only owed ticks can make up the count
    timer.SetInterval(5);
    timer.SetEnabled(true);
    while (ticks < 1)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    usleep(60000);   // busy elsewhere: some twelve ticks come due, no handler running
    const int before = ticks;
    for (int pass = 0; pass < 200 && ticks - before < 8; ++pass)
        QCoreApplication::processEvents();
    QVERIFY2(ticks - before >= 8, qPrintable(QString::number(ticks - before)));
    timer.SetEnabled(false);
    timer.SetInterval(1);

    // a stall far longer than the catch-up window does not come back as a burst
    timer.SetEnabled(true);
    const int restart = ticks;
    while (ticks == restart)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    usleep(300000);
    const int beforeLong = ticks;
    for (int pass = 0; pass < 200; ++pass)
        QCoreApplication::processEvents();
    QVERIFY(ticks - beforeLong <= int(TMsTimer::kCatchUpMs) + 10);
    timer.SetEnabled(false);
}

QTEST_GUILESS_MAIN(TimerTest)
#include "test_timer.moc"
