// The monotonic clock, a library of its own: farend's line model runs on it without the port.
#include "serial/clock.h"

#include <ctime>

double monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}
