// The figures the relay's reports render: what happened to the tester's bytes, and what the
// chain behind COM3 knows of itself.
#pragma once

#include "farend/io/lanrtt.h"
#include "farend/line/linecounts.h"

#include <optional>
#include <string>
#include <vector>

// What happened to the tester's bytes, since the start or within an interval.
struct EchoCounts {
    long long sends = 0, echoed = 0, lost = 0, changed = 0, extra = 0, late = 0;
    EchoCounts operator-(const EchoCounts &o) const
    {
        return {sends - o.sends,     echoed - o.echoed, lost - o.lost,
                changed - o.changed, extra - o.extra,   late - o.late};
    }
    // Nothing lost, changed or extra.
    bool clean() const { return lost == 0 && changed == 0 && extra == 0; }
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
