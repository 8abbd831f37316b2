// What the wire saw of the tester's timing: the gaps between the bytes received, kept as a
// histogram so that a run of days costs the same memory as a run of seconds.
#pragma once

#include <cstddef>
#include <vector>

// Gaps are binned to three significant digits of a microsecond count (1 µs steps below 1 ms,
// 10 µs up to 10 ms, 100 µs up to 100 ms, ...); median and p99 are the lower edges of their
// bins (nearest rank), the maximum is exact.
class WireTiming {
public:
    WireTiming();

    void byteAt(double ms);
    // One measured span (a gap, or any other duration binned the same way).
    void add(double ms);
    // The next byte starts a new line (another connection): no gap is counted across.
    void newLine() { lastMs = -1; }
    // Forgets every span, as a new one would be.
    void clear();

    long long gaps() const { return count; }
    double medianMs() const { return quantileMs(0.5); }
    double p99Ms() const { return quantileMs(0.99); }
    double maxMs() const { return maxGap; }
    // Every span added up, as a histogram's sum is given beside its buckets.
    double sumMs() const { return sum; }
    // The span at quantile `q` (0 to 1): the lower edge of its bin, by nearest rank.
    double quantileMs(double q) const;
    // Gaps longer than twice the median, at the histogram's resolution.
    long long longGaps() const;

    struct Bin {
        double fromMs, toMs;
        long long count;
    };
    std::vector<Bin> histogram() const;   // the bins that hold a gap, shortest first

private:
    static std::size_t binOf(double ms);
    static long long binFromUs(std::size_t bin);
    static long long binToUs(std::size_t bin);

    std::vector<long long> bins;
    long long count = 0;
    double maxGap = 0;
    double sum = 0;
    double lastMs = -1;
};
