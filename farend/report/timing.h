// Times as the reports give them: a span histogram (the round trip's, the tester's period) as a
// percentile ladder, a text histogram and JSON, and the tester's bytes as the wire saw them.
// The far end's summary and the relay's share them.
#pragma once

#include "farend/line/testerwatch.h"
#include "farend/line/wiretiming.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

constexpr int kHistogramRows = 10;   // a text histogram's rows at most

// `v` to `perUnit` steps of its unit (1000: three decimals), without binary noise in JSON.
double rounded(double v, double perUnit);
// "2026-12-08T17:37:04.123+01:00": ISO 8601 in the local zone, to the millisecond.
std::string wallClockText(std::chrono::system_clock::time_point t);

// "p50 6.510  p90 8.000  p99 10.100  p99.9 11.400  max 11.401", in milliseconds (to a tenth
// from 100 ms, to one from 10 s).
std::string ladderText(const WireTiming &t);
// At most `rows` lines of a text histogram, each under 80 columns: equal ranges from the
// shortest span to p99.9, the last one taking the rest up to the maximum.
std::vector<std::string> histogramRows(const WireTiming &t, int rows);
// {"p50", "p90", "p99", "p99_9", "max"} in milliseconds.
nlohmann::ordered_json ladderJson(const WireTiming &t);
// The histogram as a JSON array of {"from", "to", "count"}.
nlohmann::ordered_json histogramJson(const WireTiming &t);

// "test cycle exact", "test cycle broken at byte K" or "nothing arrived".
std::string cycleText(const TesterWatch &w);
// "exact", "broken" or "nothing arrived".
const char *cycleWord(const TesterWatch &w);
// The byte that broke the cycle, counted from 1, or null.
nlohmann::ordered_json brokenAtJson(const TesterWatch &w);
// What the wire saw of the tester's timing, a line each: the period's percentile ladder, the
// long gaps, a text histogram. None before two bytes.
std::vector<std::string> timingLines(const TesterWatch &w);
