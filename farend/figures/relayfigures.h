// What the relay measured, as the reports take it: each interval's figures, each run's start,
// and the whole run's figures with what it came to. Everything in it is counted and decided
// before it is rendered; the renderers only put it into words, lines and JSON.
#pragma once

#include "farend/figures/chain.h"
#include "farend/figures/span.h"
#include "farend/figures/verdict.h"
#include "farend/line/linesettings.h"
#include "farend/line/testerwatch.h"
#include "farend/line/wiretiming.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The version of the relay's JSON report and stream; raised when a field changes meaning.
constexpr int kRelayReportFormat = 4;

// What a run came to: clean (nothing lost, changed or extra, and no line error reported),
// not clean, or nothing tested (the tester sent nothing).
enum class Outcome { Clean, NotClean, NothingTested };
// Why a run ended: the user stopped it (a signal), it reached --time or --count, its target
// closed the connection or failed, or COM3 could not be made again after a reconnection.
enum class EndedBy { Interrupted, TimeLimit, CountReached, TargetClosed, TargetFailed, Com3Failed };
// How a run ended, which main turns into the exit status.
struct RunEnd {
    EndedBy by = EndedBy::Interrupted;
    Outcome outcome = Outcome::NothingTested;
};

struct IntervalFigures {
    double fromS = 0, toS = 0;           // since the relay started carrying
    bool com3Open = false;               // whether the tester had COM3 open at its end
    bool last = false;   // the relay's end: shorter than the others, its time said closer
    SpanFigures span;                    // what was decided within the interval
    std::vector<Verdict> verdicts;       // on the interval alone
    // Not the same verdicts as the interval with traffic before: another code, or another cause.
    bool verdictChanged = false;
    bool traffic() const { return span.toChain > 0 || span.fromChain > 0; }
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
    SpanFigures span;                       // the run from its start
    long long toTester = 0, notTaken = 0;   // replies handed to COM3, and those it did not take
    long long awaiting = 0;                 // sends still in their 1 s when it ended
    const WireTiming *roundTrip = nullptr;  // every echo's, as a histogram
    const TesterWatch *tester = nullptr;    // the tester's bytes as the wire saw them
    ChainFacts chain;                       // what the chain said of itself at the end
    std::optional<std::string> mapping;     // the recognised mapping in words
    std::vector<Verdict> verdicts;          // on the whole run, the gravest first
    Outcome outcome = Outcome::NothingTested;
    std::optional<EndedBy> endedBy;         // none while the run goes on
    int exitStatus = 0;   // farend's, as main chooses it (while it goes on: were it stopped now)
};
