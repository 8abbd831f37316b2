// The relay's interval lines: a header, then one aligned line per interval, a short one for an
// interval without traffic, the interval's verdicts where they changed, and a line where a new
// run starts.
#pragma once

#include "farend/figures/relayfigures.h"

#include <string>

std::string intervalHeader();
std::string intervalLine(const IntervalFigures &f);
std::string runLine(const RunStart &r);
