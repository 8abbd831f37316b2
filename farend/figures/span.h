// A span of a relay's run, an interval or the run from its start, as the verdicts and the
// reports read it: what became of the tester's bytes and how long their echoes took, what the
// chain reported over the span, and the settings and facts it ran at. The relay's meter makes
// one in one place for both; a figure added here reaches the interval's verdicts and the run's.
#pragma once

#include "farend/figures/echoes.h"
#include "farend/figures/mapping.h"
#include "farend/figures/timesplit.h"
#include "farend/kernel/tcpinfo.h"
#include "farend/line/linecounts.h"
#include "farend/line/linesettings.h"
#include "farend/line/tester.h"

#include <optional>
#include <string>

struct SpanFigures {
    EchoCounts echoes;
    RoundTripFigures roundTrip;
    long long toChain = 0, fromChain = 0;   // bytes carried each way

    LineSettings line = kTesterLine;   // the port's settings, as the tester set COM3
    double readMs = kReadWindowMs;     // the tester's read after each send
    double periodMs = 0;               // the tester's period, 0 before two bytes
    double wireMs = 0;                 // one byte out and one back at the port's settings
    LineSettings wireLine = kTesterLine;   // those settings, where the relay knows them
    std::optional<double> lanRttMs;    // the kernel's least round trip, TCP only
    // How much later than that after a later send an echo still counts as released by it.
    double releaseSlackMs = 0.5;   // kReleaseWindowMs until the relay measured it
    // Where the median round trip goes; none without echoes.
    std::optional<TimeSplit> split;
    // What the kernel counted on the connection over the span; TCP only.
    std::optional<TcpCounts> tcp;

    // The device server: its name where it gave one ("ser2net"), whether the relay speaks
    // RFC 2217 to it, and the TCP port it listens on; all empty for a serial device.
    std::string server;
    bool rfc2217 = false;
    std::string serverPort;
    // Who counts the serial side's errors: "the device server", "the driver", or empty where
    // nothing can (a raw TCP target).
    std::string reporter;
    // Counted over the span; empty where the reporter did not report them.
    LineErrorCounts lineErrors;
    std::optional<long long> modemChanges;

    // A fixed mapping of the test cycle recognised in the replies, explained by a speed or
    // format or not.
    std::optional<RecognisedMapping> mapping;
    // Whether the replies were read over enough test cycles to tell a setting from noise, and
    // where not, whether because they changed lately (they repeated before).
    bool cyclesRead = true;
    bool changedLately = false;
};
