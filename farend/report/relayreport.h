// What the relay reports, as one model that the interval lines, the summary block, the JSON
// report and the JSON stream all render from: a figure added here reaches all four.
#pragma once

#include "farend/device/link.h"
#include "farend/diagnosis/speedmatch.h"
#include "farend/diagnosis/verdicts.h"
#include "farend/line/tester.h"
#include "farend/line/wiretiming.h"
#include "farend/report/figures.h"

#include <nlohmann/json.hpp>

#include <string>

// The version of the relay's JSON report and stream; raised when a field changes meaning.
constexpr int kRelayReportFormat = 3;
// With --expect-clean, the exit status of a chain that lost, changed or added a reply.
constexpr int kStatusNotClean = 3;

struct IntervalFigures {
    double fromS = 0, toS = 0;          // since the relay started carrying
    long long toChain = 0, fromChain = 0;
    EchoCounts echoes;                   // what was decided within the interval
    const WireTiming *roundTrip = nullptr;   // the interval's echoes
    bool com3Open = false;               // whether the tester had COM3 open at its end
    LineSettings line;                   // COM3's settings, for the wire time
    std::optional<LineErrorCounts> lineErrors;   // reported within it; nothing: not reported
    std::vector<Verdict> verdicts;       // on the interval alone
    bool verdictChanged = false;         // not the same codes as the interval before
    bool traffic() const { return toChain > 0 || fromChain > 0; }
};

struct RunStart {
    long long run = 0;
    double atS = 0;
    LineSettings settings;   // what COM3 was set to when the tester opened it
};

struct RelayFigures {
    std::string link, target;
    double elapsedS = 0;
    long long runs = 0;
    long long toChain = 0, fromChain = 0;
    long long toTester = 0, notTaken = 0;   // replies handed to COM3, and those it did not take
    EchoCounts echoes;
    long long awaiting = 0;                 // sends still in their 1 s when it ended
    const WireTiming *roundTrip = nullptr;
    const Link *tester = nullptr;           // the tester's bytes as the wire saw them
    ChainFacts chain;
    LineSettings line;                      // COM3's settings as the tester last set them
    std::optional<SpeedMatch> speed;        // a wrong speed recognised, at the end
    bool expectClean = false;
};

// The relay's figures as the verdicts take them.
ChainFigures chainFigures(const RelayFigures &f);
// One byte out and one back at `line`'s settings (9600 8N1 when unknown).
double wireMs(const LineSettings &line);
// The interval's verdicts: its own echo counts, its line errors, the modem lines' changes
// between `before` and `now`.
std::vector<Verdict> intervalVerdicts(const IntervalFigures &i, const ChainFacts &before,
                                      const ChainFacts &now, const std::optional<SpeedMatch> &speed);

// The interval lines: a header, then one aligned line per interval, a short one for an
// interval without traffic, and a line where a new run starts.
std::string intervalHeader();
std::string intervalLine(const IntervalFigures &f);
std::string runLine(const RunStart &r);
// The end summary (also what SIGUSR1 prints): a short block of lines under 80 columns.
std::string summaryBlock(const RelayFigures &f);
// The --report document; the stream's end record carries the same members.
nlohmann::ordered_json reportJson(const RelayFigures &f);
// The stream's records, one JSON object a line.
nlohmann::ordered_json startRecord(const RelayFigures &f, double intervalS);
nlohmann::ordered_json intervalRecord(const IntervalFigures &f);
nlohmann::ordered_json runRecord(const RunStart &r);
nlohmann::ordered_json endRecord(const RelayFigures &f);
