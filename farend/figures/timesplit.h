// Where an echo's median round trip goes, part by part, each measured where it can be: the LAN
// (the kernel's least round trip), what the echoes behind retransmissions added to the median,
// what waiting at the device server for a later send added to it, the wire (a byte out and one
// back at the port's settings), and the rest (the device server's own work and the far device),
// what is left. The parts add up to the median.
#pragma once

#include <optional>

// `lanMs` is the kernel's minimum: its smoothed one holds the far end's time for echoed data.
// A median shorter than the LAN and the wire allow was answered before the serial line: it has
// no rest, and its parts are only the LAN and the wire it beat.
struct TimeSplit {
    double medianMs = 0;
    std::optional<double> lanMs;
    double retransmitsMs = 0;   // the median less the median of the echoes no loss held up
    double heldMs = 0;          // that less what an echo takes when nothing holds it
    double wireMs = 0;
    double restMs = 0;   // never negative
    bool beforeTheLine = false;
};

// What the split is measured from besides the median, the LAN and the wire: the median of the
// echoes no retransmission held up, and, where echoes were held for later sends, what an echo
// takes when nothing holds it; each none where unknown.
struct HeldUp {
    std::optional<double> clearOfLossMs, unheldMs;
};
TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs,
                         const HeldUp &heldUp = {});
