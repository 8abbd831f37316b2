// What the tester does on its line, as far as the far end and the relay must know it.
#pragma once

#include "farend/line/linesettings.h"

// What the tester's port is set to.
inline constexpr LineSettings kTesterLine{9600, 8, 'N', 1};
// How long the tester reads for the echo after each send: a later echo misses its tick.
constexpr double kReadWindowMs = 5.0;
