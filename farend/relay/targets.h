// What the relay carries the tester's bytes to: a serial device, a device server over raw TCP,
// or one over RFC 2217. One interface, one way to fail (Fallible).
//
// Not the far end's Transport, on purpose: a Transport serves the tester, waits for it (one
// connection after another) and blocks up to a time-out on its one line, and its hang-up is the
// simulated device's doing. A Target is a connection the relay made to a chain, polled beside
// COM3 in one poll() (fd(), hasHeld()), told the tester's settings (follow()), asked what the
// chain says of itself (describe()), and its end ends the run. Where both meet, a serial device,
// the target wraps the far end's Transport, so that the device is opened, set and given its
// settings back in one place.
#pragma once

#include "farend/error/fallible.h"
#include "farend/figures/chain.h"
#include "farend/line/linesettings.h"

#include <string>
#include <utility>

class Target : public Fallible {
public:
    virtual ~Target() = default;
    // The descriptor to wait on; -1 when the target is asked every millisecond instead.
    virtual int fd() const { return -1; }
    // Appends what came; false when the target went away (failure() says how).
    virtual bool read(std::string &data) = 0;
    // Queues `data` and writes what the target takes now; false when it went away.
    virtual bool write(const std::string &data) = 0;
    virtual bool hasQueued() const { return false; }
    // Data already taken in that read() will hand over without the descriptor being readable.
    virtual bool hasHeld() const { return false; }
    // The tester set COM3 to `s`.
    virtual void follow(const LineSettings &) {}
    // The tester opened COM3 again: what the chain still holds of the last run is stale.
    virtual void newRun() {}
    virtual void describe(ChainFacts &facts) const = 0;
    // What the target has to tell the user once (a hint, in one line), then nothing.
    std::string takeNotice() { return std::exchange(notice, std::string()); }

protected:
    std::string notice;
};

// "rfc2217://HOST:PORT", "HOST:PORT" (an IPv6 HOST in brackets), or a device path. An RFC 2217
// target has agreed to COM Port Control when it is given; one that failed after it agreed is
// given failed().
Opened<Target> openTarget(const std::string &where);
