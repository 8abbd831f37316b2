// A verdict in plain words on a chain's run: what went wrong, with the figures behind it and the
// next step, from what the relay counted and what the chain's parts reported. A pure function
// of its figures.
#pragma once

#include "farend/diagnosis/naming.h"
#include "farend/kernel/tcpinfo.h"
#include "farend/line/linecounts.h"
#include "farend/line/tester.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

struct ChainFigures {
    long long sent = 0;   // bytes the tester sent that went to the chain
    long long echoed = 0, lost = 0, changed = 0, extra = 0;
    long long late = 0;           // echoes later than the tester's read
    double readMs = kReadWindowMs;   // the tester's read after each send
    double rttMedianMs = -1;      // the echo's round trip; negative without echoes
    double rttP99Ms = -1;
    std::optional<double> lanRttMs;   // the kernel's minimum round trip (LanRtt::minMs), TCP only
    double wireMs = 0;            // one byte out and one back at the port's settings
    std::string line;             // the port's settings, "9600 8N1"
    double periodMs = 0;          // the tester's period (its median gap), 0 before two bytes

    // Echoes that came one LAN round trip after a later send, and the target's reads that
    // brought replies with the replies they brought.
    long long released = 0, reads = 0, replies = 0;
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
    // Counts since the start; empty where the reporter did not report them.
    LineErrorCounts lineErrors;
    std::optional<long long> modemChanges;
    // A fixed mapping of the test cycle recognised in the replies, explained by a speed or
    // format or not.
    std::optional<RecognisedMapping> mapping;
    // Whether the replies were read over enough test cycles to tell a setting from noise.
    bool cyclesRead = true;
};

// A figure behind a verdict: a count, a measure, or nothing where it was not measured.
using FigureValue = std::variant<std::monostate, long long, double>;
struct Figure {
    std::string name;
    FigureValue value;
};
inline FigureValue measured(std::optional<double> v)
{
    return v ? FigureValue(*v) : FigureValue();
}

struct Verdict {
    std::string code;   // "clean", "lost", ...: stable, for scripts
    std::vector<Figure> figures;
    std::string text;   // one or two sentences
    std::string step = {};   // the next step, one sentence
    // Where a verdict can blame more than one place, which: "lan", "packing" (the device
    // server holding echoes back), "behind" (behind the device server or the port); else empty.
    std::string cause = {};
};

// The share of late echoes (late / echoes) above which a run is called late.
constexpr double kLateShare = 0.05;

// An echo a device server held until a later byte of the tester's reached it comes one LAN
// round trip after that byte: no sooner than kReleaseEarlyMs before it, no later than the slack
// after it.
constexpr double kReleaseEarlyMs = 0.05;
inline double releaseSlackMs(double lanMs)
{
    return 0.3 + 0.02 * lanMs;
}

// The verdicts on a run, the gravest first; "clean" alone when nothing went wrong, "idle" alone
// when nothing was sent.
std::vector<Verdict> verdicts(const ChainFigures &f);

// Where an echo's median round trip goes, as estimates: the LAN (the kernel's estimate), the
// wire (the port's settings), and the rest (the device server and the far device).
// `lanMs` is the kernel's minimum: its smoothed one holds the far end's time for echoed data.
// A median shorter than the LAN and the wire allow was answered before the serial line: it has
// no rest.
struct TimeSplit {
    double medianMs = 0;
    std::optional<double> lanMs;
    double wireMs = 0;
    double restMs = 0;   // never negative
    bool beforeTheLine = false;
};
TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs);
