// The floor under the tester's CPU at a given period: the system calls a tick makes and nothing
// else. A kernel periodic timer waited for with poll, and at each expiry: raise RTS, write one
// byte, read (nothing there yet), wait up to 5 ms for the echo, read it. No window, no event loop.
// Prints the CPU it used (user + system, % of one core), what came back, and how often a tick
// it waited (its voluntary context switches, the wake-ups).
//   usage: tick_floor PORT PERIOD-MS SECONDS
#include "testcycle/testcycle.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

double monotonic()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: tick_floor PORT PERIOD-MS SECONDS\n");
        return 2;
    }
    const long period = std::atol(argv[2]);
    const double length = std::atof(argv[3]);
    if (period < 1 || length <= 0) {
        std::fprintf(stderr, "tick_floor: a period of at least 1 ms and a positive length\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "tick_floor: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        tcsetattr(fd, TCSANOW, &t);
    }
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    itimerspec every{};
    every.it_interval.tv_sec = period / 1000;
    every.it_interval.tv_nsec = (period % 1000) * 1000000L;
    every.it_value = every.it_interval;
    timerfd_settime(timer, 0, &every, nullptr);

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double start = monotonic();
    long ticks = 0, echoes = 0;
    while (monotonic() - start < length) {
        pollfd wake{timer, POLLIN, 0};
        if (poll(&wake, 1, -1) <= 0)
            continue;
        std::uint64_t expirations = 0;
        if (read(timer, &expirations, sizeof expirations) != sizeof expirations)
            continue;
        ++ticks;
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &rts);   // ENOTTY on a pty, as for the tester
        const char sent = testcycle::at(ticks - 1);
        if (write(fd, &sent, 1) != 1)
            continue;
        unsigned char c;
        if (read(fd, &c, 1) == 1) {
            ++echoes;
            continue;
        }
        pollfd in{fd, POLLIN, 0};
        if (poll(&in, 1, 5) > 0 && read(fd, &c, 1) == 1)
            ++echoes;
    }
    const double elapsed = monotonic() - start;
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                       seconds(after.ru_stime) - seconds(before.ru_stime);
    const double waits = double(after.ru_nvcsw - before.ru_nvcsw);
    std::printf("floor: %ld ticks, %ld echoes in %.1f s, CPU %.1f%% of a core, %.1f us a tick, "
                "%.2f wake-ups a tick\n",
                ticks, echoes, elapsed, 100 * cpu / elapsed, ticks ? 1e6 * cpu / double(ticks) : 0.0,
                ticks ? waits / double(ticks) : 0.0);
    close(timer);
    close(fd);
    return 0;
}
