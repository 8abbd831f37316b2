// What one exchange tick costs, with an empty log and with a million characters logged, and
// what the log costs in memory per character. Runs the real window and tick against a mocked
// COM3 whose far end has each reply waiting, so the figure is the tick's own work.
//   usage: umockdev-wrapper tick_bench [characters]   (default 1000000)
#include "bench/stats.h"
#include "tests/support/testbed.h"

#include "looptest/exchange.h"
#include "looptest/testcycle.h"
#include "app/form1.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class Bench {
public:
    Bench() : form(new TForm1(nullptr))
    {
        form->show();
        settle();
    }
    ~Bench()
    {
        form->close();
        delete form;
    }

    // Runs `count` ticks with every reply already waiting: the echo of what the tick sends, or
    // `constant` when it is not 0. Records each tick's cost in µs when `costs` is given.
    void ticks(long count, std::vector<double> *costs, char constant = 0)
    {
        const long batch = 1024;   // within the terminal's input buffer
        for (long done = 0; done < count;) {
            const long n = std::min(batch, count - done);
            QByteArray replies;
            for (long i = 0; i < n; ++i)
                replies.append(constant ? constant : testcycle::at(ticked + i));
            line.send(replies);
            for (long i = 0; i < n; ++i) {
                const auto start = Clock::now();
                form->MsTimer1Timer(form->MsTimer1);
                if (costs)
                    costs->push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                if (costs || i % 256 == 255)
                    QCoreApplication::processEvents();   // repaint, as between real ticks
            }
            drain();
            done += n;
            ticked += n;
        }
        QCoreApplication::processEvents();
    }

    long logged() const { return long(form->RichEdit1->length()); }
    void clear() { form->RichEdit1->Lines->Clear(); }
    void settle()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 300)
            QCoreApplication::processEvents();
    }

private:
    void drain()
    {
        while (!line.receive(0).isEmpty()) {
        }
    }
    ComTestbed line;
    TForm1 *form;
    long ticked = 0;   // ticks so far: the first sends the cycle's first character
};

void row(const char *what, long logged, const std::vector<double> &costs)
{
    std::printf("| %-34s | %9ld | %8.1f | %8.1f |\n", what, logged, percentile(costs, 50),
                percentile(costs, 99));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const long characters = argc > 1 ? std::atol(argv[1]) : 1000000;
    Bench bench;
    std::printf("| tick | characters logged | median µs | p99 µs |\n|---|---|---|---|\n");

    std::vector<double> costs;
    bench.ticks(200, nullptr);   // warm up
    bench.clear();
    bench.ticks(3000, &costs);
    row("echo, from an empty log", bench.logged(), costs);

    bench.clear();
    QCoreApplication::processEvents();
    const long before = residentBytes();
    bench.ticks(characters, nullptr);
    const long grown = residentBytes() - before;
    const long filled = bench.logged();
    costs.clear();
    bench.ticks(3000, &costs);
    row("echo, lines of 37", bench.logged(), costs);
    std::printf("\nmemory: %.1f bytes per logged character (%ld characters, resident +%.1f MB)\n\n",
                double(grown) / std::max(1L, filled), filled, grown / 1e6);

    // a far end that never sends "Z": the log grows as one long line
    std::printf("| tick | characters logged | median µs | p99 µs |\n|---|---|---|---|\n");
    bench.clear();
    for (long size : {2000L, 10000L, 20000L}) {
        bench.ticks(size - bench.logged() - 1000, nullptr, 'A');
        costs.clear();
        bench.ticks(1000, &costs, 'A');
        row("one line, never a Z", bench.logged(), costs);
    }
    return 0;
}
