// A picture of a relay's run, drawn from its JSON stream (--report-stream): the round trip's
// p50, p99 and maximum over time on a log scale, the lost, changed and extra replies, COM3 not
// open and no traffic, run starts, and the verdicts where they change. One self-contained SVG.
#pragma once

#include "farend/error/fallible.h"

#include <istream>
#include <string>

namespace plot {

struct PlotOptions {
    explicit PlotOptions(double readWindowMs) : readWindowMs(readWindowMs) {}
    double readWindowMs;     // the tester's read time-out, drawn as a reference line
    int maxColumns = 1000;   // more intervals than this are binned: the picture's size is bounded
};

// Where the picture put things, for whoever checks what it shows.
struct PlotGeometry {
    struct Band {
        double top = 0, bottom = 0;
    };
    double left = 0, right = 0;          // the x of startS and of endS (seconds since start)
    double startS = 0, endS = 0;
    Band roundTrip;                      // top at highMs, bottom at lowMs, log scale between
    double lowMs = 0, highMs = 0;
    Band lost, changed, extra;
    Band verdictCodes;                   // a row each code in the order they first came; the
                                         // change markers' tips touch its top
    int columns = 0;                     // one an interval, or bins of several
    int verdictChanges = 0;
};

struct PlotResult {
    std::string svg;         // empty when error says why nothing could be drawn
    Error error;
    PlotGeometry geometry;
    int unreadLines = 0;     // lines that were not records (a last line cut short by a kill)
};

PlotResult plotRun(std::istream &stream, const PlotOptions &options);

} // namespace plot
