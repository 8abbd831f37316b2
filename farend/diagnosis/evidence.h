// What every verdict rule reads: a span's figures with what the rules share of them, worked out
// once.
#pragma once

#include "farend/figures/span.h"

#include <string>

struct Evidence {
    const SpanFigures &f;
    std::string who;    // who reported the line errors, or "the chain"
    bool silent;        // nothing at all came back
    double lateShare;   // late / echoes
    bool holdsEchoes;   // the device server holds echoes back for a later send
};
