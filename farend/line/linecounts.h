// What the serial side of a chain counted of its line, as a device server or a driver reports
// it: its errors, its bytes, its modem lines' changes. A count no one reported is empty, never 0.
#pragma once

#include <optional>

struct LineErrorCounts {
    using Count = std::optional<long long>;
    Count framing, parity, overrun, breaks;   // a UART's errors: a device server reports these
    Count bufferOverrun;                     // the tty layer's buffer overran: a driver only
    Count rx, tx;                            // bytes a driver counted each way

    // Whether anyone reported any of them.
    bool reported() const;
    // What was counted since `earlier`: a count `earlier` lacks is taken as 0 there, and one
    // this lacks stays empty.
    LineErrorCounts since(const LineErrorCounts &earlier) const;
    // Whether any error (not the byte counts) was counted.
    bool anyError() const;
};

struct ModemLineCounts {
    long long cts = 0, dsr = 0, cd = 0, ri = 0;   // changes of each line
    std::optional<unsigned char> last;           // CD 0x80, RI 0x40, DSR 0x20, CTS 0x10
    long long changes() const { return cts + dsr + cd + ri; }
};
