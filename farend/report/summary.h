// The relay's summary block, at the end and on SIGUSR1: a short block of lines under 80 columns.
#pragma once

#include "farend/figures/relayfigures.h"

#include <string>

std::string summaryBlock(const RelayFigures &f);
