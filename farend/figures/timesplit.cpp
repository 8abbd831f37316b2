#include "farend/figures/timesplit.h"

#include <algorithm>

TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs,
                         const HeldUp &heldUp)
{
    TimeSplit s;
    s.medianMs = medianMs;
    s.lanMs = lanMs;
    s.wireMs = wireMs;
    s.beforeTheLine = medianMs < lanMs.value_or(0) + 0.9 * wireMs;
    if (s.beforeTheLine)
        return s;
    const double clear = std::min(medianMs, heldUp.clearOfLossMs.value_or(medianMs));
    s.retransmitsMs = medianMs - clear;
    s.heldMs = heldUp.unheldMs ? std::max(0.0, clear - *heldUp.unheldMs) : 0.0;
    // what the line itself takes comes first; holding, then losses, give way to it
    double over = lanMs.value_or(0) + wireMs + s.retransmitsMs + s.heldMs - medianMs;
    for (double *part : {&s.heldMs, &s.retransmitsMs}) {
        const double cut = std::clamp(over, 0.0, *part);
        *part -= cut;
        over -= cut;
    }
    s.restMs = std::max(0.0, -over);
    return s;
}
