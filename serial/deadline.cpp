// Reads and writes wait against a deadline on the monotonic clock, never a bare time-out: a
// signal that cuts a wait short leaves only the time that remains.
#include "serial/clock.h"
#include "serial/commapi_posix.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>

namespace posixcomm {

long long nowMs()
{
    return static_cast<long long>(monotonicMs());
}

int pollUntil(int fd, short events, long long deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline >= 0)
            timeout = static_cast<int>(std::max(0LL, deadline - nowMs()));
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, timeout);
        if (r > 0)
            return p.revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

} // namespace posixcomm
