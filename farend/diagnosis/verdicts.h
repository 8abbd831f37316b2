// A verdict in plain words on a chain's run: what went wrong, with the figures behind it, from
// what the relay counted and what the chain's parts reported. A pure function of its figures.
#pragma once

#include "farend/diagnosis/mismatch.h"
#include "farend/line/linecounts.h"
#include "farend/line/tester.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ChainFigures {
    long long sent = 0;   // bytes the tester sent that went to the chain
    long long echoed = 0, lost = 0, changed = 0, extra = 0;
    long long late = 0;           // echoes later than the tester's read
    double readMs = kReadWindowMs;   // the tester's read after each send
    double rttMedianMs = -1;      // the echo's round trip; negative without echoes
    std::optional<double> lanRttMs;   // the kernel's minimum round trip (LanRtt::minMs), TCP only
    double wireMs = 0;            // one byte out and one back at the port's settings

    // Who counts the serial side's errors: "the device server", "the driver", or empty where
    // nothing can (a raw TCP target).
    std::string reporter;
    // Counts since the start; empty where the reporter did not report them.
    LineErrorCounts lineErrors;
    std::optional<long long> modemChanges;
    // A fixed mapping of the test cycle recognised in the replies, explained by a speed or
    // format or not.
    std::optional<SpeedMatch> speed;
};

struct Verdict {
    std::string code;   // "clean", "lost", ...: stable, for scripts
    std::vector<std::pair<std::string, double>> figures;
    std::string text;   // one or two sentences
    std::string step{};   // the next step, one sentence
};

// The share of late echoes above which a run is called late.
constexpr double kLateShare = 0.05;

// The verdicts on a run, the gravest first; "clean" alone when nothing went wrong, "idle" alone
// when nothing was sent.
std::vector<Verdict> verdicts(const ChainFigures &f);

// Where an echo's median round trip goes, as estimates: the LAN (the kernel's estimate), the
// wire (the port's settings), and the rest (the device server and the far device).
// `lanMs` is the kernel's minimum: its smoothed one holds the far end's time for echoed data.
struct TimeSplit {
    double medianMs = 0;
    std::optional<double> lanMs;
    double wireMs = 0;
    double restMs = 0;   // never negative
};
TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs);
