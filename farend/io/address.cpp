#include "farend/io/address.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 5000;

struct AddrInfo {
    addrinfo *list = nullptr;
    ~AddrInfo()
    {
        if (list)
            freeaddrinfo(list);
    }
};

} // namespace

Result<HostPort> splitHostPort(const std::string &address, bool toListen)
{
    const std::string quoted = "\"" + address + "\"";
    HostPort out;
    if (!address.empty() && address[0] == '[') {
        const auto close = address.find("]:");
        if (close == std::string::npos)
            return Result<HostPort>::failed(Errc::BadAddress,
                                            quoted + " has no \"]:\" after its IPv6 host");
        out.host = address.substr(1, close - 1);
        out.port = address.substr(close + 2);
    } else if (const auto colon = address.rfind(':'); colon != std::string::npos) {
        out.host = address.substr(0, colon);
        out.port = address.substr(colon + 1);
    } else if (toListen) {
        out.port = address;   // PORT alone: every interface
    }
    const long lowest = toListen ? 0 : 1;
    if (out.port.empty() || out.port.size() > 5 ||
        out.port.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(out.port) < lowest || std::stol(out.port) > 65535)
        return Result<HostPort>::failed(Errc::BadAddress, quoted + " has no port from " +
                                                              std::to_string(lowest) + " to 65535");
    if (!toListen && out.host.empty())
        return Result<HostPort>::failed(Errc::BadAddress, quoted + " has no host");
    return {out, {}};
}

Socket::~Socket()
{
    if (fd_ >= 0)
        close(fd_);
}

Opened<Socket> connectTcp(const HostPort &to, const std::string &address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfo found;
    if (int r = getaddrinfo(to.host.c_str(), to.port.c_str(), &hints, &found.list))
        return Opened<Socket>::failed(Errc::CannotConnect,
                                      "cannot connect to " + address + ": " + gai_strerror(r));
    int err = ECONNREFUSED;
    for (addrinfo *a = found.list; a; a = a->ai_next) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        auto sock = std::make_unique<Socket>(fd);
        err = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                socklen_t length = sizeof err;
                err = ETIMEDOUT;
                if (poll(&p, 1, kConnectTimeoutMs) == 1)
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length);
            }
        }
        if (err)
            continue;
        int on = 1;   // each byte goes as it comes, as a redirector sends what the tester wrote
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return {std::move(sock), {}};
    }
    return Opened<Socket>::failed(Errc::CannotConnect,
                                  "cannot connect to " + address + ": " + std::strerror(err));
}

Opened<Socket> listenTcp(const HostPort &on, const std::string &address, std::string &bound,
                         int backlog)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    AddrInfo found;
    if (int r = getaddrinfo(on.host.empty() ? nullptr : on.host.c_str(), on.port.c_str(), &hints,
                            &found.list))
        return Opened<Socket>::failed(Errc::CannotListen,
                                      "cannot listen on " + address + ": " + gai_strerror(r));
    std::vector<addrinfo *> candidates;
    for (addrinfo *a = found.list; a; a = a->ai_next)
        candidates.push_back(a);
    // every interface: IPv6's wildcard first, which takes IPv4 connections too
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const addrinfo *a) { return a->ai_family == AF_INET6; });
    int err = EADDRNOTAVAIL;
    for (const addrinfo *a : candidates) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        auto listener = std::make_unique<Socket>(fd);
        int yes = 1, no = 0;   // a restarted farend takes its port back at once
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (a->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        // the far end serves one connection at a time: the next waits in a backlog of 1
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, backlog) != 0) {
            err = errno;
            continue;
        }
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
        bound = describe(reinterpret_cast<sockaddr *>(&local));
        return {std::move(listener), {}};
    }
    return Opened<Socket>::failed(Errc::CannotListen,
                                  "cannot listen on " + address + ": " + std::strerror(err));
}

std::string describe(const sockaddr *a)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (a->sa_family == AF_INET) {
        auto *v4 = reinterpret_cast<const sockaddr_in *>(a);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    auto *v6 = reinterpret_cast<const sockaddr_in6 *>(a);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
}
