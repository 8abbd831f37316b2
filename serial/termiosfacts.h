// What termios encodes that the serial layer and farend's pseudo-terminal both decode: the
// speed codes, the character size, the parity and the stop bits.
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
// The parity that the PARENB, PARODD and CMSPAR bits of `cflag` say: 'N' none, 'O' odd, 'E'
// even, 'M' mark or 'S' space.
char parityOf(tcflag_t cflag);
// Stop bits per character that CSTOPB says: 1 or 2 (which a 5-bit character sends as 1.5).
int stopBitsOf(tcflag_t cflag);

} // namespace termiosfacts
