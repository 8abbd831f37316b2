// The verdict rules on the LAN and the time (early, held-echoes, retransmits, late), kept apart
// from the rules on the serial line.
#pragma once

#include "farend/diagnosis/evidence.h"
#include "farend/figures/verdict.h"

#include <optional>

// An echo a device server held until a later byte of the tester's reached it comes one LAN
// round trip after that byte: no sooner than kReleaseEarlyMs before it, no later than the slack
// after it.
constexpr double kReleaseEarlyMs = 0.05;
inline double releaseSlackMs(double lanMs)
{
    return 0.3 + 0.02 * lanMs;
}

// Whether the figures show a device server that lets an echo go only when a later send's
// acknowledgement reaches it: enough echoes one LAN round trip after a later send, where chance
// alone would put few there.
bool holdsEchoes(const SpanFigures &f);

std::optional<Verdict> early(const Evidence &e);
std::optional<Verdict> heldEchoes(const Evidence &e);
std::optional<Verdict> retransmits(const Evidence &e);
std::optional<Verdict> late(const Evidence &e);
