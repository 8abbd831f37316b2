// How well the millisecond timer keeps its period with a window on screen: achieved tick rate
// and the spread of the intervals between ticks, against a QTimer at 1 ms for comparison.
//   usage: timer_bench [seconds-per-period]   (default 10)
#include "bench/stats.h"
#include "timer/mstimer.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    std::vector<double> intervalsMs;
    long ticks = 0;
    double seconds = 0;   // from enabling to disabling, as measured
};

void report(const char *what, unsigned periodMs, const Run &r)
{
    const double seconds = r.seconds;
    const double nominal = seconds * 1000.0 / periodMs;
    std::printf("| %-13s | %5u | %4.1f | %7ld | %7.0f | %6.2f%% | %7.3f | %7.3f | %7.3f | %8.3f |\n",
                what, periodMs, seconds, r.ticks, nominal, 100.0 * r.ticks / nominal,
                percentile(r.intervalsMs, 50), percentile(r.intervalsMs, 90),
                percentile(r.intervalsMs, 99), percentile(r.intervalsMs, 100));
    std::fflush(stdout);
}

// Runs `start`/`stop` around an event loop of `seconds`; `tick` is what the timer calls.
template <class Start, class Stop>
Run measure(double seconds, QLabel &label, Start start, Stop stop)
{
    Run r;
    Clock::time_point last{};
    auto tick = [&] {
        const auto now = Clock::now();
        if (r.ticks++ > 0)
            r.intervalsMs.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
        label.setText(QString::number(r.ticks));   // a little window work, as a real tick has
    };
    QEventLoop loop;
    const auto begin = Clock::now();
    start(tick);
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &loop,
                       &QEventLoop::quit);
    loop.exec();
    stop();
    r.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    QWidget window;
    window.resize(400, 120);
    QLabel label(&window);
    label.setGeometry(10, 10, 300, 40);
    window.show();
    QEventLoop settle;
    QTimer::singleShot(500, &settle, &QEventLoop::quit);
    settle.exec();

    std::printf("| timer         | period ms | s | ticks | nominal | achieved | p50 ms | p90 ms | p99 ms | max ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (unsigned period : {1u, 2u, 5u, 10u, 1000u}) {
        TMsTimer timer;
        Run r = measure(
            seconds, label,
            [&](auto tick) {
                timer.OnTimer = [tick](QObject *) mutable { tick(); };
                timer.SetInterval(period);
                timer.SetEnabled(true);
            },
            [&] { timer.SetEnabled(false); });
        report("TMsTimer", period, r);
    }
    QTimer precise;
    precise.setTimerType(Qt::PreciseTimer);
    precise.setInterval(1);
    QMetaObject::Connection c;
    Run r = measure(
        seconds, label,
        [&](auto tick) {
            c = QObject::connect(&precise, &QTimer::timeout, [tick]() mutable { tick(); });
            precise.start();
        },
        [&] { precise.stop(); });
    report("QTimer precise", 1, r);
    return 0;
}
