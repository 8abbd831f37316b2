// Which speeds and frame formats explain a cycle of replies: the test cycle replayed through
// farend's UART model for every place a chain can disagree, every frame format and every rate
// from 110 to 1 000 000 baud, each candidate dropped at the first reply it gets wrong. Costly
// (milliseconds to tens of them): run once for each new cycle of replies, never per interval.
#pragma once

#include "farend/figures/mapping.h"
#include "farend/line/linesettings.h"

#include <cstdint>
#include <string>
#include <vector>

// Consecutive rates of the scan that all explain the replies.
struct RateSpan {
    std::uint32_t low = 0, high = 0;
    std::vector<std::uint32_t> standard;   // the standard rates among them
};

// A frame format at a place that explains the replies, and the rates it does so at.
struct Fit {
    Place where = Place::FarDevice;
    LineSettings format;   // baud 0
    std::vector<RateSpan> rates;
};

struct Explanation {
    std::vector<Fit> fits;   // by place, then by how common the format is
    long long candidates = 0;   // tried
    long long bytesSimulated = 0;   // bytes sent through the model, the search's cost
};

// The candidates that give back `image` (one cycle of replies, from any start) for the test
// cycle sent every `periodMs` from a tester at `tester`. An image of one byte value says only
// how many come a cycle: `perCycle` on average, matched within a tenth.
Explanation explainCycle(const std::string &image, const LineSettings &tester, double periodMs,
                         double perCycle = 0);

// Whether a chain with the far device at `device` behind a port at `port` gives back `image`
// (`echoOnLine` false: a far end answering as bytes), and what the port's UART reports meanwhile:
// framing and parity errors over one cycle.
struct CycleCheck {
    bool gives = false;
    long long framing = 0, parity = 0;
};
CycleCheck checkCycle(const std::string &image, const LineSettings &port,
                      const LineSettings &device, bool echoOnLine, double periodMs,
                      double perCycle = 0);

// The rates the world uses, named as such; others are estimates.
const std::vector<std::uint32_t> &standardRates();
// Rates some devices use off that list (MIDI's 31 250, DMX's 250 000, ...), named in an
// estimate when they lie in the span.
const std::vector<std::uint32_t> &knownRates();
// Frame formats in the order they are named: the commonest first.
const std::vector<LineSettings> &frameFormats();
