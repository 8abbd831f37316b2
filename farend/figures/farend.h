// What the simulated far end counted of its line, for its summary and its report.
#pragma once

#include "farend/line/testerwatch.h"

struct FarEndFigures {
    const TesterWatch *tester = nullptr;   // the tester's bytes as they came
    long long sent = 0;      // replies that went out on the line
    long long lost = 0;      // replies that fell due and never went
    long long overrun = 0;   // bytes not answered: they came faster than the device held them
};
