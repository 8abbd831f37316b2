// What happens at each tick: the test character goes out, one byte comes back.
#pragma once

#include <QString>

#include <cstdint>

extern std::uint32_t TestChar;      // the character last sent; 47 before the first tick
extern unsigned char SendByte;
extern signed char ReceiveByte;     // keeps its value while nothing arrives

// How a received byte is shown: its drawing (logview/cells.h), one visible character, or
// nothing for 0x00. A received byte never breaks a line of the log.
const QString &ReceivedText(unsigned char byte);
