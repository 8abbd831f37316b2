// The stream's intervals as the picture's columns: one an interval while they fit, else bins of
// equal time (p50 the median of the bin's p50s, p99 and max the highest, counts summed), so that
// a day of intervals draws as a picture of bounded size.
#pragma once

#include "farend/plot/runstream.h"

#include <optional>
#include <string>
#include <vector>

namespace plot {

struct Column {
    double fromS = 0, toS = 0;
    int intervals = 0;
    std::optional<double> p50, p99, max;
    long long lost = 0, changed = 0, extra = 0;
    unsigned codes = 0;        // verdicts held in any of its intervals
    bool com3Closed = false;   // nothing carried and COM3 not open, in half its intervals or more
    bool noTraffic = false;    // nothing carried in half its intervals or more, COM3 open
};

struct Columns {
    std::vector<Column> columns;   // in time order; bins that no interval fell in are left out
    int intervalsPerBin = 1;       // the most intervals in one column
};

Columns makeColumns(const std::vector<Interval> &intervals, double startS, double endS,
                    int maxColumns);

} // namespace plot
