// The lines farend holds as a file descriptor: the mocked COM3's pseudo-terminal and TCP.
#include "farend/transport.h"

#include "farend/com3testbed.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
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

std::string describe(const sockaddr *a)
{
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (a->sa_family == AF_INET) {
        auto *v4 = reinterpret_cast<const sockaddr_in *>(a);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    auto *v6 = reinterpret_cast<const sockaddr_in6 *>(a);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// [HOST:]PORT, with an IPv6 HOST in brackets.
bool splitAddress(const std::string &address, std::string &host, std::string &port)
{
    if (!address.empty() && address[0] == '[') {
        const auto close = address.find("]:");
        if (close == std::string::npos)
            return false;
        host = address.substr(1, close - 1);
        port = address.substr(close + 2);
    } else {
        const auto colon = address.rfind(':');
        host = colon == std::string::npos ? "" : address.substr(0, colon);
        port = colon == std::string::npos ? address : address.substr(colon + 1);
    }
    return !port.empty() && port.find_first_not_of("0123456789") == std::string::npos &&
           port.size() <= 5 && std::stol(port) <= 65535;
}

class TcpTransport : public Transport {
public:
    explicit TcpTransport(int listener) : listener(listener) {}
    ~TcpTransport() override
    {
        closeConnection();
        close(listener);
    }

    Event wait(double timeoutMs, std::string &in) override
    {
        if (connection < 0) {
            if (pollOnce(listener, POLLIN, timeoutMs) & POLLIN) {
                connection = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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

    int listener;
    int connection = -1;
};

} // namespace

std::unique_ptr<Transport> mockedComTransport(Com3Testbed &mock)
{
    return std::make_unique<PtyTransport>(mock);
}

std::unique_ptr<Transport> listenTcpTransport(const std::string &address, std::string &bound,
                                              std::string &error)
{
    std::string host, port;
    if (!splitAddress(address, host, port)) {
        error = "--listen needs [HOST:]PORT with PORT from 0 to 65535, not \"" + address + "\"";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    if (int r = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found)) {
        error = "cannot listen on " + address + ": " + gai_strerror(r);
        return nullptr;
    }
    std::vector<addrinfo *> candidates;
    for (addrinfo *a = found; a; a = a->ai_next)
        candidates.push_back(a);
    // every interface: IPv6's wildcard first, which takes IPv4 connections too
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const addrinfo *a) { return a->ai_family == AF_INET6; });
    int err = EADDRNOTAVAIL;
    int listener = -1;
    for (const addrinfo *a : candidates) {
        listener = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          a->ai_protocol);
        if (listener < 0) {
            err = errno;
            continue;
        }
        int on = 1, off = 0;   // a restarted farend takes its port back at once
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (a->ai_family == AF_INET6)
            setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        // one connection at a time: the next waits in the backlog until the last one closes
        if (bind(listener, a->ai_addr, a->ai_addrlen) != 0 || listen(listener, 1) != 0) {
            err = errno;
            close(listener);
            listener = -1;
            continue;
        }
        break;
    }
    freeaddrinfo(found);
    if (listener < 0) {
        error = "cannot listen on " + address + ": " + std::strerror(err);
        return nullptr;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(listener, reinterpret_cast<sockaddr *>(&local), &length);
    bound = describe(reinterpret_cast<sockaddr *>(&local));
    return std::make_unique<TcpTransport>(listener);
}
