// What the relay measures of the chain behind COM3, apart from carrying it: the bytes each way,
// what became of each of the tester's bytes, the runs, the tester's own timing, the intervals
// with their line errors and whether their verdicts changed, and the figures of the whole run
// with their verdicts. The carrying loop only feeds it; the reports only render what it gives.
#pragma once

#include "farend/diagnosis/recogniser.h"
#include "farend/figures/relayfigures.h"
#include "farend/line/linesettings.h"
#include "farend/line/tester.h"
#include "farend/line/testerwatch.h"
#include "farend/relay/echostats.h"

#include <cstddef>
#include <string>
#include <vector>

class RelayMeter {
public:
    // The relay's link and target, as the reports name them; intervals of `intervalS` (0: none).
    RelayMeter(std::string link, std::string target, double intervalS);

    // Carrying starts: times count from `nowMs`, with what the chain said of itself then.
    void start(double nowMs, const ChainFacts &chain);
    // The tester opened COM3 at `settings` (a new run): what still waits is lost.
    RunStart runStarted(double nowMs, const LineSettings &settings);
    // The tester set COM3 to `settings`.
    void settingsChanged(const LineSettings &settings);
    // A new connection to the target, which says `chain` of itself: it counts from nothing, and
    // what still waited on the last one is lost.
    void reconnected(const ChainFacts &chain);

    void fromTester(const std::string &bytes, double atMs);
    void fromChain(const std::string &bytes, double atMs);
    // Replies COM3 took, and replies it did not take (no one had it open, or it was full).
    void toTester(std::size_t n) { toTester_ += static_cast<long long>(n); }
    void notTaken(std::size_t n) { notTaken_ += static_cast<long long>(n); }
    // Data the target sent before it was ready: from the chain, for no one.
    void early(std::size_t n)
    {
        fromChain_ += static_cast<long long>(n);
        notTaken(n);
    }
    // Sends that have waited too long become lost.
    void expire(double nowMs) { echoes.expire(nowMs); }
    // The run ends at `nowMs`: what waited too long is lost, and what waited on a next reply
    // is decided without it.
    void settle(double nowMs)
    {
        echoes.expire(nowMs);
        echoes.settle();
    }

    // When the next interval ends; negative without intervals.
    double intervalEndMs() const;
    // Whether an interval ends by `nowMs`, or, with `last`, whether any of one is left.
    bool intervalDue(double nowMs, bool last) const;
    // Closes the interval that ends by `nowMs` (or at it, with `last`), COM3 open or not at its
    // end, the chain saying `chain` of itself then.
    IntervalFigures closeInterval(double nowMs, bool last, bool com3Open, const ChainFacts &chain);

    // The run's figures so far, the chain saying `chain` of itself.
    RelayFigures figures(double nowMs, const ChainFacts &chain) const;
    // What the run came to, the chain having said `chain` of itself.
    Outcome outcome(const ChainFacts &chain) const;
    // What became of the tester's bytes so far.
    const EchoCounts &counts() const { return echoes.counts(); }

private:
    // What the meter had counted at a moment, and what the chain said of itself then: a span
    // runs from one to another, the run from none.
    struct Mark {
        EchoCounts echoes;
        long long toChain = 0, fromChain = 0;
        ChainFacts chain;
    };
    Mark markNow(const ChainFacts &chain) const
    {
        return {echoes.counts(), toChain, fromChain_, chain};
    }
    // The one place a span's figures are put together, an interval's and the run's alike: what
    // was counted from `from` to `to`, the span's round trips `rtt`, and the mapping its
    // replies showed.
    SpanFigures span(const Mark &from, const Mark &to, const WireTiming &rtt,
                     std::optional<RecognisedMapping> mapping) const;
    double seconds(double ms) const { return (ms - startMs) / 1000.0; }
    // What the chain says of the LAN, for the echoes released by a later send.
    void lanFrom(const ChainFacts &chain);

    const std::string link, target;
    const double everyMs;
    double startMs = 0;
    std::chrono::system_clock::time_point started;
    long long runs = 0;
    long long toChain = 0, fromChain_ = 0, toTester_ = 0, notTaken_ = 0;
    EchoStats echoes;
    MappingRecogniser recogniser;
    TesterWatch tester;                 // the tester's bytes as they reach the relay
    LineSettings line = kTesterLine;    // COM3 as the tester last set it
    // where the interval started
    double intervalStartMs = 0;
    Mark intervalStart;
    // the verdicts of the interval with traffic before: each code with its cause
    std::vector<std::pair<std::string, std::string>> lastSaid;
};
