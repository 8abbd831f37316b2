// What a local UART's driver counted: the kernel's error counters of a serial line (TIOCGICOUNT),
// read at the start, each interval and the end so that a run reports what happened during it.
#pragma once

#include <optional>

struct UartCounters {
    long long frame = 0;
    long long parity = 0;
    long long overrun = 0;      // the UART's own FIFO overran
    long long brk = 0;          // breaks received
    long long bufOverrun = 0;   // the tty layer's buffer overran
    long long rx = 0, tx = 0;   // bytes the driver counted each way

    // What happened between `earlier` and this reading.
    UartCounters since(const UartCounters &earlier) const;
};

// The counters of the serial line open on `fd`, or nothing where the driver does not report them
// (pseudo-terminals and some USB adapters answer the ioctl with an error): never zeros.
std::optional<UartCounters> readUartCounters(int fd);
