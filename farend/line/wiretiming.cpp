#include "farend/line/wiretiming.h"

#include <algorithm>
#include <cmath>

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
    sum = 0;
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
    sum += ms;
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
