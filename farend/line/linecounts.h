// What the serial side of a chain counted of its line: its errors and its modem lines' changes.
#pragma once

#include <optional>

// The serial side's errors as the device server or the driver counted them since the relay
// started.
struct LineErrorCounts {
    long long framing = 0, parity = 0, overrun = 0, breaks = 0, bufferOverrun = 0;
    long long rx = 0, tx = 0;   // bytes the driver counted each way; a device server gives none
};

struct ModemLineCounts {
    long long cts = 0, dsr = 0, cd = 0, ri = 0;
    std::optional<unsigned char> last;   // CD 0x80, RI 0x40, DSR 0x20, CTS 0x10
    long long changes() const { return cts + dsr + cd + ri; }
};
