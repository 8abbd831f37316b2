// Where an echo's median round trip goes, as estimates: the LAN (the kernel's estimate), the
// wire (the port's settings), and the rest (the device server and the far device).
#pragma once

#include <optional>

// `lanMs` is the kernel's minimum: its smoothed one holds the far end's time for echoed data.
// A median shorter than the LAN and the wire allow was answered before the serial line: it has
// no rest.
struct TimeSplit {
    double medianMs = 0;
    std::optional<double> lanMs;
    double wireMs = 0;
    double restMs = 0;   // never negative
    bool beforeTheLine = false;
};
TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs);
