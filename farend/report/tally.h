// The relay's one-line tally so far, asked for with SIGQUIT as ping's status line is.
#pragma once

#include "farend/figures/relayfigures.h"

#include <string>

std::string tallyLine(const RelayFigures &f);
