// A verdict in plain words on a span of a chain's run: what went wrong, with the figures behind
// it and the next step, from what the relay counted and what the chain's parts reported. A pure
// function of its figures.
#pragma once

#include "farend/figures/span.h"
#include "farend/figures/verdict.h"

#include <vector>

// The share of late echoes (late / echoes) above which a run is called late.
constexpr double kLateShare = 0.05;

// The verdicts on a span, the gravest first; "clean" alone when nothing went wrong, "idle" alone
// when nothing was sent.
std::vector<Verdict> verdicts(const SpanFigures &f);
