// What the relay carries the tester's bytes to: a serial device, a device server over raw TCP,
// or one over RFC 2217. One interface, one way to fail (Fallible).
#pragma once

#include "farend/io/fallible.h"
#include "farend/io/lanrtt.h"
#include "farend/rfc2217/rfc2217.h"

#include <optional>
#include <string>
#include <vector>

// The serial side's errors as the device server or the driver counted them since the relay
// started.
struct LineErrorCounts {
    long long framing = 0, parity = 0, overrun = 0, breaks = 0, bufferOverrun = 0;
    long long rx = 0, tx = 0;   // bytes the driver counted each way; a device server gives none
};

struct ModemLineCounts {
    long long cts = 0, dsr = 0, cd = 0, ri = 0;
    std::optional<unsigned char> last;   // CD 0x80, RI 0x40, DSR 0x20, CTS 0x10
    long long changes() const { return cts + dsr + cd + ri; }
};

// What a target knows of the chain behind it, for the summary and the report.
struct ChainFacts {
    std::string kind;                          // "serial device", "raw TCP", "RFC 2217"
    bool deviceServerReports = false;          // a device server that answers requests
    std::string serverPort;                    // its port as it last said, empty: not reported
    std::vector<std::string> notAcknowledged;  // requests it never answered
    // "the device server", "the driver", or empty where no one can count (raw TCP)
    std::string reporter;
    std::optional<LineErrorCounts> lineErrors;   // nothing: not reported
    std::optional<ModemLineCounts> modemLines;   // nothing: not reported
    std::string signature;                       // the device server's name, empty: none
    std::vector<std::string> answeredOtherwise;  // "baud rate 19200"
    std::vector<std::string> nonStandard;        // "baud rate as a one-byte index"
    long long suspensions = 0;
    double suspendedMs = 0;
    long long purges = 0;                         // asked at each new run
    long long unparsed = 0;
    std::string lastUnparsed;
    std::optional<LanRtt> lan;                    // TCP targets: the kernel's estimate
};

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
};

// "rfc2217://HOST:PORT", "HOST:PORT" (an IPv6 HOST in brackets), or a device path. An RFC 2217
// target has agreed to COM Port Control when it is given.
Opened<Target> openTarget(const std::string &where);
