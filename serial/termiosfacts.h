// What termios encodes that the serial layer and farend's pseudo-terminal both decode: the
// speed codes and the character size.
#pragma once

#include <cstdint>

#include <termios.h>

namespace termiosfacts {

// The baud rate of a speed code; 0 for a code not in the table.
std::uint32_t baudOf(speed_t code);
// The speed code of a baud rate; B0 for a rate termios cannot say.
speed_t speedOf(std::uint32_t baud);
// Data bits per character (5 to 8) that the CSIZE bits of `cflag` say.
int dataBitsOf(tcflag_t cflag);
// The CSIZE bits for 5 to 8 data bits; false for any other count.
bool csizeOf(int dataBits, tcflag_t &csize);

} // namespace termiosfacts
