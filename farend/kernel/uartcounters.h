// What a local UART's driver counted: the kernel's error and byte counters of a serial line
// (TIOCGICOUNT), read at the start, each interval and the end so that a run reports what
// happened during it.
#pragma once

#include "farend/line/linecounts.h"

// The counters of the serial line open on `fd`, every count of them; none where the driver does
// not report them (pseudo-terminals and some USB adapters answer the ioctl with an error), never
// zeros.
LineErrorCounts readUartCounters(int fd);
