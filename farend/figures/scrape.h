// The relay's figures at one moment, whole and owned, for a reader on another thread (a
// scrape of the metrics endpoint): the run's so far, its round trips' histogram, whether the
// tester has COM3 open, and the last interval's figures.
#pragma once

#include "farend/figures/relayfigures.h"
#include "farend/line/wiretiming.h"

#include <optional>
#include <utility>
#include <vector>

struct ScrapeFigures {
    RelayFigures run;                         // without its pointers into the meter
    std::vector<WireTiming::Bin> roundTrip;   // the run's round trips: the bins that hold one
    long long roundTrips = 0;
    double roundTripSumMs = 0;
    bool com3Open = false;
    std::optional<IntervalFigures> lastInterval;   // none before the first, or without intervals
};

// `run` copied out of the meter: what its pointers lead to is read now, on the loop's thread.
inline ScrapeFigures scrapeOf(RelayFigures run, bool com3Open,
                              std::optional<IntervalFigures> lastInterval)
{
    ScrapeFigures s;
    if (run.roundTrip) {
        s.roundTrip = run.roundTrip->histogram();
        s.roundTrips = run.roundTrip->gaps();
        s.roundTripSumMs = run.roundTrip->sumMs();
    }
    run.roundTrip = nullptr;
    run.tester = nullptr;
    s.run = std::move(run);
    s.com3Open = com3Open;
    s.lastInterval = std::move(lastInterval);
    return s;
}
