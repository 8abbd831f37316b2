// TCP addresses written once for --listen and the relay: "[HOST:]PORT" and "HOST:PORT" (an IPv6
// HOST in brackets), connecting and listening.
#pragma once

#include "farend/error/fallible.h"

#include <string>
#include <utility>

struct sockaddr;

struct HostPort {
    std::string host;   // empty: every interface
    std::string port;
};

// Splits `address`. To listen, HOST may be left out and PORT may be 0; to connect, both are
// needed and PORT is 1 to 65535. When `address` is not such an address, why not, naming it.
Result<HostPort> splitHostPort(const std::string &address, bool toListen);

// A socket descriptor, closed when the object goes.
class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return fd_; }
    // Gives the descriptor up to whoever closes it now.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A non-blocking connection to `to` with TCP_NODELAY (each byte goes as it comes); `address` is
// how messages name it. Gives up after 5 s.
Opened<Socket> connectTcp(const HostPort &to, const std::string &address);
// A non-blocking listener on `on` (IPv6's wildcard first, which takes IPv4 too) with `backlog`
// connections waiting at most; `bound` is where it listens, as "HOST:PORT".
Opened<Socket> listenTcp(const HostPort &on, const std::string &address, std::string &bound,
                         int backlog = 1);
// "127.0.0.1:4001", "[::1]:4001".
std::string describe(const sockaddr *a);
