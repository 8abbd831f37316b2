// A serial line's speed and frame format, as a port is set and a device server reports it.
#pragma once

#include <cstdint>
#include <string>

struct LineSettings {
    std::uint32_t baud = 0;
    int dataBits = 8;
    char parity = 'N';   // N, O, E, M, S
    int stopBits = 1;
    bool operator==(const LineSettings &o) const
    {
        return baud == o.baud && dataBits == o.dataBits && parity == o.parity &&
               stopBits == o.stopBits;
    }
    bool operator!=(const LineSettings &o) const { return !(*this == o); }
    std::string text() const;     // "9600 8N1"
    std::string format() const;   // "8N1"
    // Takes a format as format() writes it ("7E2": data bits 5-8, parity N, E, O, M or S, 1 or
    // 2 stop bits), the rate left as it is; false, and nothing taken, for any other text.
    bool takeFormat(const std::string &text);
    constexpr bool hasParity() const { return parity != 'N'; }
    // Bits a character takes on the wire: start, data, parity, stop.
    constexpr int frameBits() const { return 1 + dataBits + (hasParity() ? 1 : 0) + stopBits; }
};

// One byte out and one back on a line at `baud` with `frameBits` bits a character.
double wireTimeMs(long baud, int frameBits);
