// The far end at work: bytes from the line into the line model, its replies back out, the
// hang-up when it is due; the same for the mocked COM3, a serial device and TCP.
#pragma once

#include "farend/device/simulateddevice.h"
#include "farend/io/transport.h"

#include <functional>

// Serves until `stop` says so (asked at least every 50 ms) or the line fails. Returns false
// when the line failed; `transport.failure()` says why.
bool serve(Transport &transport, SimulatedDevice &device, const std::function<bool()> &stop);
