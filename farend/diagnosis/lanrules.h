// The verdict rules' shared view of a run, and the rules on the LAN and the time (early,
// held-echoes, retransmits, late), kept apart from the rules on the serial line.
#pragma once

#include "farend/diagnosis/verdicts.h"

#include <optional>
#include <string>

// A run's figures as every rule reads them.
struct Run {
    const ChainFigures &f;
    std::string who;    // who reported the line errors, or "the chain"
    bool silent;        // nothing at all came back
    double lateShare;   // late / echoes
    bool holdsEchoes;   // the device server holds echoes back for a later send
};

// Whether the figures show a device server that lets an echo go only when a later send's
// acknowledgement reaches it: enough echoes one LAN round trip after a later send, where chance
// alone would put few there.
bool holdsEchoes(const ChainFigures &f);

std::optional<Verdict> early(const Run &r);
std::optional<Verdict> heldEchoes(const Run &r);
std::optional<Verdict> retransmits(const Run &r);
std::optional<Verdict> late(const Run &r);
