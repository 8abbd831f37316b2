#include "farend/report/timing.h"

#include "farend/figures/fields.h"
#include "farend/text/prose.h"

#include <algorithm>
#include <cmath>
#include <ctime>

double rounded(double v, double perUnit)
{
    return std::round(v * perUnit) / perUnit;
}

std::string wallClockText(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    const time_t seconds = system_clock::to_time_t(t);
    const long long millis = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
    tm local{};
    localtime_r(&seconds, &local);
    char day[32], zone[8];
    std::strftime(day, sizeof day, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);   // "+0100": ISO 8601 wants "+01:00"
    return format("%s.%03lld%.3s:%s", day, (millis + 1000) % 1000, zone, zone + 3);
}

std::string ladderText(const WireTiming &t)
{
    // microseconds below 100 ms, tenths above, whole milliseconds from 10 s: under 80 columns
    auto at = [&](double q) {
        const double v = q < 1 ? t.quantileMs(q) : t.maxMs();
        return format(v < 100 ? "%.3f" : v < 10000 ? "%.1f" : "%.0f", v);
    };
    return "p50 " + at(0.5) + "  p90 " + at(0.9) + "  p99 " + at(0.99) + "  p99.9 " + at(0.999) +
           "  max " + at(1);
}

std::vector<std::string> histogramRows(const WireTiming &t, int rows)
{
    std::vector<std::string> out;
    const auto bins = t.histogram();
    if (bins.empty() || rows < 1)
        return out;
    const double lo = bins.front().fromMs;
    const double top = std::max(t.quantileMs(0.999), lo);
    // a step of 1, 2 or 5 times a power of ten that covers lo..p99.9 in the rows
    double step = bins.front().toMs - bins.front().fromMs;   // a power of ten: the finest bin
    for (int i = 0; (top - lo) / step >= rows - 1 && i < 60; ++i)
        step *= (i % 3 == 1) ? 2.5 : 2.0;
    const double start = std::floor(lo / step + 1e-9) * step;
    std::vector<long long> counts;
    for (const WireTiming::Bin &b : bins) {
        const double at = std::max(0.0, std::floor((b.fromMs - start) / step + 1e-9));
        const auto row = static_cast<std::size_t>(std::min<double>(rows - 1, at));
        if (counts.size() <= row)
            counts.resize(row + 1, 0);
        counts[row] += b.count;
    }
    const long long most = *std::max_element(counts.begin(), counts.end());
    constexpr int kBar = 40;
    for (std::size_t r = 0; r < counts.size(); ++r) {
        const double from = start + static_cast<double>(r) * step;
        const bool last = r + 1 == counts.size() && r + 1 == static_cast<std::size_t>(rows);
        const double to = last ? std::max(t.maxMs(), from + step) : from + step;
        const int bar = counts[r] ? std::max(1, static_cast<int>(kBar * counts[r] / most)) : 0;
        out.push_back(format("%9.3f - %9.3f ms |%-*s| %lld", from, to, kBar,
                             std::string(static_cast<std::size_t>(bar), '#').c_str(), counts[r]));
    }
    return out;
}

nlohmann::ordered_json ladderJson(const WireTiming &t)
{
    // milliseconds to the microsecond: what the binning resolves
    return {{field::p50, rounded(t.quantileMs(0.5), 1e3)},
            {field::p90, rounded(t.quantileMs(0.9), 1e3)},
            {field::p99, rounded(t.quantileMs(0.99), 1e3)},
            {field::p99_9, rounded(t.quantileMs(0.999), 1e3)},
            {field::max, rounded(t.maxMs(), 1e3)}};
}

nlohmann::ordered_json histogramJson(const WireTiming &t)
{
    auto rows = nlohmann::ordered_json::array();
    for (const WireTiming::Bin &b : t.histogram())
        rows.push_back(
            {{"from", rounded(b.fromMs, 1e3)}, {"to", rounded(b.toMs, 1e3)}, {"count", b.count}});
    return rows;
}

std::string cycleText(const TesterWatch &w)
{
    if (w.bytes() == 0)
        return "nothing arrived";
    if (w.exactCycle())
        return "test cycle exact";
    return "test cycle broken at byte " + std::to_string(w.firstMismatchAt() + 1);
}

const char *cycleWord(const TesterWatch &w)
{
    return w.bytes() == 0 ? "nothing arrived" : w.exactCycle() ? "exact" : "broken";
}

nlohmann::ordered_json brokenAtJson(const TesterWatch &w)
{
    if (w.exactCycle())
        return nullptr;
    return w.firstMismatchAt() + 1;
}

std::vector<std::string> timingLines(const TesterWatch &w)
{
    const WireTiming &t = w.period();
    std::vector<std::string> lines;
    if (t.gaps() == 0)
        return lines;
    lines.push_back("period (ms): " + ladderText(t));
    lines.push_back(count(t.longGaps(), "gap", "gaps") + " over twice the median");
    for (const std::string &row : histogramRows(t, kHistogramRows))
        lines.push_back(row);
    return lines;
}
