// What one exchange tick costs, with an empty log and with a million characters logged, and
// what the log costs in memory per character. Runs the real window and tick against a COM3
// whose far end has each reply waiting, so the figure is the tick's own work: a mocked COM3, or
// with --pty a plain pseudo-terminal pair that /dev/COM3 is made to point at (the mock's own
// cost then stays out of the figure; bench/tick_compare.sh gives the bench a private /dev).
// --timed SECONDS runs only the first row and then the real 1 ms timer for that long (0: not at
// all): CPU per tick of the main thread, of it the tick handler, the rest the event loop and
// painting.
//   usage: umockdev-wrapper tick_bench [characters]   (default 1000000)
//          tick_bench --pty [characters]
//          tick_bench --pty --timed SECONDS
#include "bench/stats.h"
#include "tests/support/ptypair.h"
#include "tests/support/testbed.h"

#include "looptest/exchange.h"
#include "looptest/form1.h"
#include "testcycle/testcycle.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>

// Every allocation the process makes, counted: a tick on the steady path should make none.
static std::atomic<long> allocations{0};
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void *malloc(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void *realloc(void *block, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
}

namespace {

using Clock = std::chrono::steady_clock;

// The far end of COM3: what it sends the tester, and what it takes in.
class FarSide {
public:
    virtual ~FarSide() = default;
    virtual void send(const QByteArray &bytes) = 0;
    virtual void drain() = 0;
    // The descriptor of a plain pty's far side, or -1.
    virtual int fd() const { return -1; }
};

class MockedFarSide : public FarSide {
public:
    void send(const QByteArray &bytes) override { line.send(bytes); }
    void drain() override
    {
        while (!line.receive(0).isEmpty()) {
        }
    }

private:
    ComTestbed line;
};

// A pty pair with /dev/COM3 pointing at its tester's side for as long as it lives.
class PtyFarSide : public FarSide {
public:
    PtyFarSide()
    {
        if (pty.master < 0 || symlink(pty.path.c_str(), "/dev/COM3") != 0) {
            std::perror("tick_bench: /dev/COM3 (run through bench/tick_compare.sh)");
            std::exit(1);
        }
        fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyFarSide() override { unlink("/dev/COM3"); }
    void send(const QByteArray &bytes) override
    {
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = write(pty.master, bytes.constData() + done, bytes.size() - done);
            if (n > 0)
                done += n;
            else
                waitFor(POLLOUT);
        }
    }
    void drain() override
    {
        char buffer[4096];
        while (read(pty.master, buffer, sizeof buffer) > 0) {
        }
    }
    int fd() const override { return pty.master; }

private:
    void waitFor(short events)
    {
        pollfd p{pty.master, events, 0};
        poll(&p, 1, 50);
    }
    PtyPair pty;
};

// The frame that shows what the ticks changed, drawn at once; a revision without frames (this
// bench is built against older ones too) paints in a pass of the event loop.
template <class Form> auto drawFrame(Form *form, int) -> decltype(form->FrameNow(), void())
{
    form->FrameNow();
}
template <class Form> void drawFrame(Form *, long)
{
    QCoreApplication::processEvents();
}

double threadCpuMicros()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

class Bench {
public:
    explicit Bench(FarSide &far) : line(far), form(new TForm1(nullptr))
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

    // The real timer at 1 ms for `seconds`, a far end answering `ahead` ticks in advance so
    // that each tick's reply is waiting. Prints ticks/s and the main thread's CPU per tick.
    void timed(double seconds)
    {
        const int ahead = 64;
        const long base = ticked;
        QByteArray first;
        for (int i = 0; i < ahead; ++i)
            first.append(testcycle::at(base + i));
        line.send(first);
        std::atomic<bool> stop{false};
        std::thread answer([&] {
            pthread_setname_np(pthread_self(), "far end");   // apart from the tester in profiles
            long answered = ahead;
            char taken[256];
            while (!stop) {
                pollfd p{line.fd(), POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = read(line.fd(), taken, sizeof taken);
                for (ssize_t i = 0; i < n; ++i) {
                    const char reply = testcycle::at(base + answered++);
                    [[maybe_unused]] ssize_t w = write(line.fd(), &reply, 1);
                }
            }
        });
        long ticks = 0, handlerAllocations = 0;
        double handler = 0;
        form->MsTimer1->OnTimer = [&](QObject *sender) {
            const double start = threadCpuMicros();
            const long allocated = allocations.load(std::memory_order_relaxed);
            form->MsTimer1Timer(sender);
            handlerAllocations += allocations.load(std::memory_order_relaxed) - allocated;
            handler += threadCpuMicros() - start;
            ++ticks;
        };
        QEventLoop loop;
        QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
        form->MsTimer1->SetInterval(1);
        const double cpu0 = threadCpuMicros();
        const long allocated0 = allocations.load();
        const auto wall0 = Clock::now();
        form->MsTimer1->SetEnabled(true);
        loop.exec();
        form->MsTimer1->SetEnabled(false);
        const double cpu = threadCpuMicros() - cpu0;
        const long allocated = allocations.load() - allocated0;
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        stop = true;
        answer.join();
        drain();
        ticked += ticks;
        const double n = double(std::max(1L, ticks));
        std::printf("\n| 1 ms timer, reply waiting | ticks/s | main thread CPU | µs a tick | "
                    "of it the handler | the rest (event loop, painting) | allocations a tick "
                    "(handler / all, frames included) |\n"
                    "|---|---|---|---|---|---|---|\n"
                    "| %.0f s | %.1f | %.1f%% | %.1f | %.1f | %.1f | %.2f / %.2f |\n",
                    wall, ticks / wall, 100 * cpu / 1e6 / wall, cpu / n, handler / n,
                    (cpu - handler) / n, handlerAllocations / n, allocated / n);
        std::printf("ticks %ld\n", ticks);
        std::fflush(stdout);
    }

    // `count` frames at 1 ms: 17 ticks with their replies waiting, then the frame that shows
    // them, drawn at once. Prints the median and p99 µs of a frame.
    void frames(long count)
    {
        std::vector<double> costs;
        double cpu = 0;
        for (long f = 0; f < count; ++f) {
            ticks(17, nullptr);
            const auto start = Clock::now();
            const double cpu0 = threadCpuMicros();
            drawFrame(form, 0);
            cpu += threadCpuMicros() - cpu0;
            costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::printf("\n| frame after 17 ticks | frames | median µs | p99 µs | main thread CPU µs |\n"
                    "|---|---|---|---|---|\n| window shown | %ld | %.1f | %.1f | %.1f |\n",
                    count, percentile(costs, 50), percentile(costs, 99), cpu / count);
        std::fflush(stdout);
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
    void drain() { line.drain(); }
    FarSide &line;
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
    Application->Initialize();   // the toolkit as the tester sets it up
    bool pty = false;
    double timed = -1;   // seconds of the timed run; 0: the first row only
    long frames = 0;
    long characters = 1000000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pty") == 0)
            pty = true;
        else if (std::strcmp(argv[i], "--timed") == 0 && i + 1 < argc)
            timed = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            frames = std::atol(argv[++i]);
        else
            characters = std::atol(argv[i]);
    }
    std::unique_ptr<FarSide> far;
    if (pty)
        far = std::make_unique<PtyFarSide>();
    else
        far = std::make_unique<MockedFarSide>();
    Bench bench(*far);
    std::printf("| tick | characters logged | median µs | p99 µs |\n|---|---|---|---|\n");

    std::vector<double> costs;
    bench.ticks(200, nullptr);   // warm up
    bench.clear();
    bench.ticks(3000, &costs);
    row("echo, from an empty log", bench.logged(), costs);
    if (frames > 0) {
        bench.frames(frames);
        return 0;
    }
    if (timed >= 0) {
        if (pty && timed > 0)
            bench.timed(timed);
        return 0;
    }

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
