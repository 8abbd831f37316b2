// Reading and writing a test's end of a line (a pty master, a socket, the mocked COM3's far
// end), with waits long enough for a busy machine.
#pragma once

#include <QByteArray>

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

// Reads until `count` bytes came, or nothing came for `quietMs`.
inline QByteArray readSome(int fd, qsizetype count, int quietMs = 1000)
{
    QByteArray got;
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLIN))
            break;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    return got;
}

// Everything that arrives within `quietMs` of the last byte (or of the call).
inline QByteArray readUntilQuiet(int fd, int quietMs)
{
    return readSome(fd, std::numeric_limits<qsizetype>::max(), quietMs);
}

// Whether a byte is there to read within `timeoutMs`.
inline bool readableWithin(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}
