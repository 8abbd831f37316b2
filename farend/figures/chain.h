// What the chain behind COM3 says of itself: the device server's answers and reports, the
// kernel's view of the LAN, the serial side's counts.
#pragma once

#include "farend/kernel/tcpinfo.h"
#include "farend/line/linecounts.h"
#include "farend/line/linesettings.h"

#include <optional>
#include <string>
#include <vector>

// What a device server said of itself, for the reports: where it said nothing, empty.
struct ServerFacts {
    LineSettings port;                         // its port's settings as it last said them;
                                               // 0 baud: not said
    std::vector<std::string> notAcknowledged;  // requests it never answered: "DTR", "RTS"
    std::string signature;                     // its name
    std::vector<std::string> answeredOtherwise;  // "baud rate 19200"
    std::vector<std::string> nonStandard;        // "baud rate as a one-byte index (8)"
    long long purges = 0;                        // asked at each new run
    long long suspensions = 0;
    double suspendedMs = 0;
    long long unparsed = 0;
    std::string lastUnparsed;
    long long abandoned = 0, discarded = 0;   // subnegotiations over the limit, their bytes
};

// What a target knows of the chain behind it, at a moment.
struct ChainFacts {
    std::string kind;   // "serial device", "raw TCP", "RFC 2217"
    // "the device server", "the driver", or empty where no one can count (raw TCP)
    std::string reporter;
    LineErrorCounts lineErrors;                  // since the start
    std::optional<ModemLineCounts> modemLines;   // nothing: not reported
    std::optional<ServerFacts> server;           // a device server that answers requests
    std::optional<LanRtt> lan;                   // TCP targets: the kernel's estimate
    std::optional<TcpCounts> tcp;                // TCP targets: the kernel's counts
};
