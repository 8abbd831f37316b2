// Where farend meets the tester: the line it reads the tester's bytes from and answers on. The
// relay's way to a chain is a Target (relay/targets.h), which says why it is another interface.
#pragma once

#include "farend/error/fallible.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// At most this much is read from a line per wake-up, so that a flood cannot keep the replies
// from going or make farend hold without limit.
constexpr std::size_t kReadLimit = 64 * 1024;
// Replies held back while the line does not take them, at most (a device's transmit buffer);
// more are lost and counted.
constexpr std::size_t kOutboxLimit = 1 << 20;

// Reads what `fd` has now, up to kReadLimit, handing each read's bytes to `take`. Open: it would
// block, a short read took what there was, or the limit was reached and the rest comes on the
// next wake-up; Error: errno says why.
enum class Drained { Open, EndOfFile, Error };
Drained drain(int fd, const std::function<void(const char *bytes, std::size_t n)> &take);
// One poll of `fd` for `events` within `timeoutMs`: its revents, 0 on time-out or when a signal
// came first (farend's loop then looks at its stop request).
short pollOnce(int fd, short events, double timeoutMs);
// Sleeps `ms` milliseconds (less when a signal comes).
void sleepMs(double ms);

class Transport : public Fallible {
public:
    enum class Event {
        Quiet,    // whatever came is in `in`; the line goes on
        Closed,   // the other side went away; the next bytes come on a new line
        Failed,   // the line is gone for good: failure() says why
    };
    virtual ~Transport() = default;

    // Waits up to `timeoutMs` for bytes from the tester and appends what came to `in`.
    virtual Event wait(double timeoutMs, std::string &in) = 0;
    // Writes what the line takes without waiting long; the number of bytes that went, or -1
    // when the line refused them for good.
    virtual long send(const std::string &bytes) = 0;
    // Cuts the line as far as this kind of line can be cut; true when a new line may follow.
    virtual bool hangUp() = 0;
    // The line's descriptor for ioctls, -1 where it has none of its own.
    virtual int fd() const { return -1; }
};

// A serial device, opened exclusively at 9600 8N1 and given its settings back when closed.
Opened<Transport> openSerialTransport(const std::string &device);
// A raw TCP server on [HOST:]PORT, one connection at a time; `bound` is where it listens.
Opened<Transport> listenTcpTransport(const std::string &address, std::string &bound);
