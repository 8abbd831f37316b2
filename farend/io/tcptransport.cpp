// A raw TCP server as farend's line, one connection at a time.
#include "farend/io/transport.h"

#include "farend/io/address.h"

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

Drained appendTo(std::string &in, int fd)
{
    return drain(fd, [&](const char *bytes, std::size_t n) { in.append(bytes, n); });
}

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

Opened<Transport> listenTcpTransport(const std::string &address, std::string &bound)
{
    const Result<HostPort> on = splitHostPort(address, true);
    if (!on)
        return Opened<Transport>::failed(within("--listen needs [HOST:]PORT; ", on.error));
    Opened<Socket> listener = listenTcp(on.value, address, bound);
    if (!listener)
        return Opened<Transport>::failed(listener.error);
    return {std::make_unique<TcpTransport>(std::move(listener.value)), {}};
}
