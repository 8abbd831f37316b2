#include "farend/figures/timesplit.h"

#include <algorithm>

TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs)
{
    TimeSplit s;
    s.medianMs = medianMs;
    s.lanMs = lanMs;
    s.wireMs = wireMs;
    s.beforeTheLine = medianMs < lanMs.value_or(0) + 0.9 * wireMs;
    s.restMs = s.beforeTheLine ? 0.0 : std::max(0.0, medianMs - lanMs.value_or(0) - wireMs);
    return s;
}
