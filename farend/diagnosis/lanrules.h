// The verdict rules on the LAN and the time (early, held-echoes, retransmits, late), kept apart
// from the rules on the serial line.
#pragma once

#include "farend/diagnosis/evidence.h"

#include <optional>

// Whether the figures show a device server that lets an echo go only when a later send's
// acknowledgement reaches it: enough echoes one LAN round trip after a later send, where chance
// alone would put few there.
bool holdsEchoes(const ChainFigures &f);

std::optional<Verdict> early(const Evidence &e);
std::optional<Verdict> heldEchoes(const Evidence &e);
std::optional<Verdict> retransmits(const Evidence &e);
std::optional<Verdict> late(const Evidence &e);
