#include "farend/line/wiretiming.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {
// Below 1000 µs one bin per µs; above, 900 bins per decade (three significant digits), up to
// 10^12 µs, beyond which gaps share the last bin.
constexpr std::size_t kExactBins = 1000;
constexpr std::size_t kPerDecade = 900;
constexpr int kDecades = 9;
constexpr std::size_t kBins = kExactBins + kDecades * kPerDecade;

long long power10(int e)
{
    long long p = 1;
    while (e-- > 0)
        p *= 10;
    return p;
}
} // namespace

WireTiming::WireTiming() : bins(kBins, 0) {}

std::size_t WireTiming::binOf(double ms)
{
    const double us = std::max(0.0, std::floor(ms * 1000.0 + 1e-6));
    if (us < kExactBins)
        return static_cast<std::size_t>(us);
    if (us >= 1e12)
        return kBins - 1;
    auto v = static_cast<long long>(us);
    int e = 0;
    while (v >= 1000) {
        v /= 10;
        ++e;
    }
    return kExactBins + (e - 1) * kPerDecade + static_cast<std::size_t>(v - 100);
}

long long WireTiming::binFromUs(std::size_t bin)
{
    if (bin < kExactBins)
        return static_cast<long long>(bin);
    const std::size_t k = bin - kExactBins;
    const int e = static_cast<int>(k / kPerDecade) + 1;
    return static_cast<long long>(k % kPerDecade + 100) * power10(e);
}

long long WireTiming::binToUs(std::size_t bin)
{
    if (bin < kExactBins)
        return static_cast<long long>(bin) + 1;
    return binFromUs(bin) + power10(static_cast<int>((bin - kExactBins) / kPerDecade) + 1);
}

void WireTiming::clear()
{
    std::fill(bins.begin(), bins.end(), 0);
    count = 0;
    maxGap = 0;
    lastMs = -1;
}

void WireTiming::byteAt(double ms)
{
    if (lastMs >= 0)
        add(ms - lastMs);
    lastMs = ms;
}

void WireTiming::add(double ms)
{
    ms = std::max(0.0, ms);
    ++bins[binOf(ms)];
    ++count;
    maxGap = std::max(maxGap, ms);
}

double WireTiming::quantileMs(double q) const
{
    if (count == 0)
        return 0;
    const auto rank = std::max(1LL, static_cast<long long>(std::ceil(q * count - 1e-9)));
    long long seen = 0;
    for (std::size_t b = 0; b < bins.size(); ++b) {
        seen += bins[b];
        if (seen >= rank)
            return binFromUs(b) / 1000.0;
    }
    return maxGap;
}

long long WireTiming::longGaps() const
{
    if (count == 0)
        return 0;
    const double limitUs = 2000.0 * medianMs();
    long long n = 0;
    for (std::size_t b = 0; b < bins.size(); ++b)
        if (binFromUs(b) > limitUs)
            n += bins[b];
    return n;
}

std::vector<WireTiming::Bin> WireTiming::histogram() const
{
    std::vector<Bin> out;
    for (std::size_t b = 0; b < bins.size(); ++b)
        if (bins[b])
            out.push_back({binFromUs(b) / 1000.0, binToUs(b) / 1000.0, bins[b]});
    return out;
}

namespace {
// Milliseconds to the microsecond: what the binning resolves, without binary noise in JSON.
double toUs(double ms)
{
    return std::round(ms * 1000.0) / 1000.0;
}
} // namespace

nlohmann::ordered_json WireTiming::histogramJson() const
{
    auto rows = nlohmann::ordered_json::array();
    for (const Bin &b : histogram())
        rows.push_back({{"from", toUs(b.fromMs)}, {"to", toUs(b.toMs)}, {"count", b.count}});
    return rows;
}

nlohmann::ordered_json WireTiming::ladderJson() const
{
    return {{"p50", toUs(quantileMs(0.5))},  {"p90", toUs(quantileMs(0.9))},
            {"p99", toUs(quantileMs(0.99))}, {"p99_9", toUs(quantileMs(0.999))},
            {"max", toUs(maxGap)}};
}

std::string WireTiming::ladder() const
{
    char text[160];
    std::snprintf(text, sizeof text, "p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f",
                  quantileMs(0.5), quantileMs(0.9), quantileMs(0.99), quantileMs(0.999), maxGap);
    return text;
}

std::vector<std::string> WireTiming::histogramRows(int rows) const
{
    std::vector<std::string> out;
    const auto bins = histogram();
    if (bins.empty() || rows < 1)
        return out;
    const double lo = bins.front().fromMs;
    const double top = std::max(quantileMs(0.999), lo);
    // a step of 1, 2 or 5 times a power of ten that covers lo..p99.9 in the rows
    double step = bins.front().toMs - bins.front().fromMs;   // a power of ten: the finest bin
    for (int i = 0; (top - lo) / step >= rows - 1 && i < 60; ++i)
        step *= (i % 3 == 1) ? 2.5 : 2.0;
    const double start = std::floor(lo / step + 1e-9) * step;
    std::vector<long long> counts;
    for (const Bin &b : bins) {
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
        const double to = last ? std::max(maxGap, from + step) : from + step;
        const int bar = counts[r] ? std::max(1, static_cast<int>(kBar * counts[r] / most)) : 0;
        char line[128];
        std::snprintf(line, sizeof line, "%9.3f - %9.3f ms |%-*s| %lld", from, to, kBar,
                      std::string(static_cast<std::size_t>(bar), '#').c_str(), counts[r]);
        out.emplace_back(line);
    }
    return out;
}
