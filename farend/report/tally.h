// The relay's one-line status, asked for with SIGQUIT as ping's is.
#pragma once

#include "farend/report/figures.h"

#include <string>

std::string statusLine(const RelayFigures &f);
