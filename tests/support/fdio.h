// Reading and writing a test's end of a line (a pty master, a socket, the mocked COM3's far
// end), with waits long enough for a busy machine.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>

#include <cerrno>
#include <limits>

#include <poll.h>
#include <unistd.h>

// Writes all of `bytes`, waiting for room as long as the line takes them.
inline void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.constData() + done, bytes.size() - done);
        if (n > 0)
            done += n;
        else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

// Reads until `count` bytes came, or nothing came for `quietMs` (a signal to the test process,
// a child's SIGCHLD, is no silence: the wait goes on for the time left).
inline QByteArray readSome(int fd, qsizetype count, int quietMs = 1000)
{
    QByteArray got;
    QElapsedTimer quiet;
    quiet.start();
    while (got.size() < count) {
        const qint64 left = quietMs - quiet.elapsed();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || !(p.revents & POLLIN))
            break;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.append(buf, n);
        quiet.restart();
    }
    return got;
}

// Everything that arrives within `quietMs` of the last byte (or of the call).
inline QByteArray readUntilQuiet(int fd, int quietMs = 500)
{
    return readSome(fd, std::numeric_limits<qsizetype>::max(), quietMs);
}

// Whether a byte is there to read within `timeoutMs`.
inline bool readableWithin(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}
