// The verdict rules on the LAN and the time (early, held-echoes, retransmits, late), kept apart
// from the rules on the serial line.
#pragma once

#include "farend/diagnosis/evidence.h"
#include "farend/figures/verdict.h"

#include <optional>
#include <string>

// An echo a device server held until a later byte of the tester's reached it comes one LAN
// round trip after that byte, as the relay times them: no sooner than kReleaseEarlyMs before
// it, no later than the slack after it, whatever the LAN's round trip. The slack is measured
// from what the relay sees: as late as three in four of the echoes that came within
// kReleaseNearMs of it, and a tenth of a millisecond more, from kReleaseWindowMs up.
constexpr double kReleaseEarlyMs = 0.05;
constexpr double kReleaseWindowMs = 0.5;
constexpr double kReleaseNearMs = 2;

// The share of the echoes that chance alone would put within the release slack: as many to each
// part of the period as came later after a later send; nothing before any came after one.
double releaseChance(const SpanFigures &f);
// Whether the figures show a device server that lets an echo go only when a later send's
// acknowledgement reaches it: far more echoes within the release slack than chance puts there.
bool holdsEchoes(const SpanFigures &f);
// Whether the figures can tell: a LAN's round trip, enough echoes and the tester's period, or
// no device server to hold anything.
bool holdingTold(const SpanFigures &f);
// Whether holding them adds to the median, by half a millisecond or more: a far device slow
// enough to answer after the next send may have its echoes let go by a later send no later than
// they would have gone anyway.
bool holdingCosts(const SpanFigures &f);

// The step that turns Nagle off at the device server, in its own words where it named itself.
std::string nagleStep(const SpanFigures &f);

std::optional<Verdict> early(const Evidence &e);
std::optional<Verdict> heldEchoes(const Evidence &e);
std::optional<Verdict> retransmits(const Evidence &e);
// Late echoes, with where the median's time goes, cause by cause (late.cpp).
std::optional<Verdict> late(const Evidence &e);
