// What the relay's reports render, as one model that the interval lines, the summary block, the
// JSON report and the JSON stream all take: a figure added here reaches all four. Everything in
// it is counted and decided before it is rendered.
#pragma once

#include "farend/diagnosis/recogniser.h"
#include "farend/diagnosis/verdicts.h"
#include "farend/kernel/tcpinfo.h"
#include "farend/line/linecounts.h"
#include "farend/line/linesettings.h"
#include "farend/line/tester.h"
#include "farend/line/testerwatch.h"
#include "farend/line/wiretiming.h"
#include "farend/rfc2217/rfc2217.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The version of the relay's JSON report and stream; raised when a field changes meaning.
constexpr int kRelayReportFormat = 4;

// What a run came to: clean (nothing lost, changed or extra, and no line error reported),
// not clean, or nothing tested (the tester sent nothing).
enum class Outcome { Clean, NotClean, NothingTested };
// With --expect-clean, the exit statuses of a run that was not clean, and of one that tested
// nothing.
constexpr int kStatusNotClean = 3;
constexpr int kStatusNothingTested = 4;

// What happened to the tester's bytes, since the start or within an interval.
struct EchoCounts {
    long long sends = 0, echoed = 0, lost = 0, changed = 0, extra = 0, late = 0;
    // Echoes that came one LAN round trip after a later send: a device server let them go
    // only when that send's acknowledgement reached it.
    long long released = 0;
    // Reads of the target that brought replies, and the replies they brought.
    long long reads = 0, replies = 0;
    EchoCounts operator-(const EchoCounts &o) const
    {
        return {sends - o.sends,       echoed - o.echoed,   lost - o.lost,
                changed - o.changed,   extra - o.extra,     late - o.late,
                released - o.released, reads - o.reads,    replies - o.replies};
    }
    // Nothing lost, changed or extra.
    bool clean() const { return lost == 0 && changed == 0 && extra == 0; }
};

// What a target knows of the chain behind it, for the summary and the report.
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

// An interval's round trips: how many, and where they lie.
struct RoundTripFigures {
    long long count = 0;
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
};

struct IntervalFigures {
    double fromS = 0, toS = 0;          // since the relay started carrying
    long long toChain = 0, fromChain = 0;
    EchoCounts echoes;                   // what was decided within the interval
    RoundTripFigures roundTrip;          // the interval's echoes
    bool com3Open = false;               // whether the tester had COM3 open at its end
    LineErrorCounts lineErrors;          // reported within it
    std::optional<TcpCounts> tcp;        // counted within it, TCP targets only
    std::vector<Verdict> verdicts;       // on the interval alone
    // Not the same verdicts as the interval with traffic before: another code, or another cause.
    bool verdictChanged = false;
    bool last = false;   // the relay's end: shorter than the others, its time said closer
    bool traffic() const { return toChain > 0 || fromChain > 0; }
};

struct RunStart {
    long long run = 0;
    double atS = 0;
    LineSettings settings;   // what COM3 was set to when the tester opened it
};

struct RelayFigures {
    std::string link, target;
    std::chrono::system_clock::time_point started, ended;   // by the wall clock
    double elapsedS = 0;
    long long runs = 0;
    long long toChain = 0, fromChain = 0;
    long long toTester = 0, notTaken = 0;   // replies handed to COM3, and those it did not take
    EchoCounts echoes;
    long long awaiting = 0;                 // sends still in their 1 s when it ended
    const WireTiming *roundTrip = nullptr;
    const TesterWatch *tester = nullptr;    // the tester's bytes as the wire saw them
    ChainFacts chain;
    LineSettings line = kTesterLine;        // COM3's settings as the tester last set them
    std::optional<RecognisedMapping> mapping;      // a wrong speed recognised, at the end
    std::optional<TimeSplit> split;         // where the median round trip goes; none without echoes
    std::vector<Verdict> verdicts;          // on the whole run, the gravest first
    Outcome outcome = Outcome::NothingTested;
    bool expectClean = false;
};
