// The lines farend holds as a file descriptor: the mocked COM3's pseudo-terminal and TCP.
#include "farend/io/transport.h"

#include "farend/io/address.h"
#include "farend/server/com3testbed.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
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

// One poll: the revents of `fd` within `timeoutMs`; 0 on time-out or when a signal came first
// (farend's loop then looks at its stop request).
short pollOnce(int fd, short events, double timeoutMs)
{
    const timespec timeout = duration(timeoutMs);
    pollfd p{fd, events, 0};
    return ppoll(&p, 1, &timeout, nullptr) > 0 ? p.revents : 0;
}

void pause(double ms)
{
    const timespec t = duration(ms);
    nanosleep(&t, nullptr);
}

Drained appendTo(std::string &in, int fd)
{
    return drain(fd, [&](const char *bytes, std::size_t n) { in.append(bytes, n); });
}

class PtyTransport : public Transport {
public:
    explicit PtyTransport(Com3Testbed &mock) : mock(mock), fd(mock.far()) {}

    Event wait(double timeoutMs, std::string &in) override
    {
        if (cut) {
            pause(timeoutMs);
            return Event::Quiet;
        }
        const short ready = pollOnce(fd, POLLIN, timeoutMs);
        if (ready & POLLIN)
            appendTo(in, fd);
        else if (ready & (POLLHUP | POLLERR))
            pause(std::min(timeoutMs, 10.0));   // the tester has closed its end: it may reopen
        return Event::Quiet;
    }

    long send(const std::string &bytes) override
    {
        if (cut)
            return -1;
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n >= 0)
            return n;
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }

    bool hangUp() override
    {
        mock.hangUp();
        cut = true;
        return false;
    }

private:
    Com3Testbed &mock;
    int fd;
    bool cut = false;
};

class TcpTransport : public Transport {
public:
    explicit TcpTransport(std::unique_ptr<Socket> listening) : listening(std::move(listening)) {}
    ~TcpTransport() override { closeConnection(); }

    Event wait(double timeoutMs, std::string &in) override
    {
        if (connection < 0) {
            if (pollOnce(listening->fd(), POLLIN, timeoutMs) & POLLIN) {
                connection =
                    accept4(listening->fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                // each reply goes out as it is due, as a device server sends what its UART got
                int on = 1;
                if (connection >= 0)
                    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
            return Event::Quiet;
        }
        if (!(pollOnce(connection, POLLIN, timeoutMs) & (POLLIN | POLLHUP | POLLERR)))
            return Event::Quiet;
        if (appendTo(in, connection) == Drained::Open)
            return Event::Quiet;
        closeConnection();
        return Event::Closed;
    }

    long send(const std::string &bytes) override
    {
        if (connection < 0)
            return -1;
        const ssize_t n = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        return errno == EAGAIN || errno == EINTR ? 0 : -1;   // a reset shows at the next wait
    }

    bool hangUp() override
    {
        closeConnection();
        return true;
    }

private:
    void closeConnection()
    {
        if (connection >= 0)
            close(connection);
        connection = -1;
    }

    std::unique_ptr<Socket> listening;
    int connection = -1;
};

} // namespace

std::unique_ptr<Transport> mockedComTransport(Com3Testbed &mock)
{
    return std::make_unique<PtyTransport>(mock);
}

Opened<Transport> listenTcpTransport(const std::string &address, std::string &bound)
{
    HostPort on;
    if (!splitHostPort(address, true, on))
        return Opened<Transport>::failed("--listen needs [HOST:]PORT with PORT from 0 to 65535, "
                                         "not \"" + address + "\"");
    Opened<Socket> listener = listenTcp(on, address, bound);
    if (!listener.value)
        return Opened<Transport>::failed(listener.error);
    return {std::make_unique<TcpTransport>(std::move(listener.value)), {}};
}
