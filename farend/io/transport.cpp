#include "farend/io/transport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

#include <poll.h>
#include <unistd.h>

Drained drain(int fd, const std::function<void(const char *bytes, std::size_t n)> &take)
{
    char buf[4097];   // a packet-mode pty's status byte and a page of data
    for (std::size_t got = 0; got < kReadLimit;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            take(buf, static_cast<std::size_t>(n));
            got += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < sizeof buf)
                return Drained::Open;   // a short read took all there was: spare the EAGAIN
        } else if (n == 0) {
            return Drained::EndOfFile;
        } else if (errno != EINTR) {
            return errno == EAGAIN ? Drained::Open : Drained::Error;
        }
    }
    return Drained::Open;
}

namespace {

timespec duration(double ms)
{
    ms = std::max(0.0, ms);
    return {static_cast<time_t>(ms / 1000), static_cast<long>(std::fmod(ms, 1000.0) * 1e6)};
}

} // namespace

short pollOnce(int fd, short events, double timeoutMs)
{
    const timespec timeout = duration(timeoutMs);
    pollfd p{fd, events, 0};
    return ppoll(&p, 1, &timeout, nullptr) > 0 ? p.revents : 0;
}

void sleepMs(double ms)
{
    const timespec t = duration(ms);
    nanosleep(&t, nullptr);
}

