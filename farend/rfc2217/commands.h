// The COM-PORT-OPTION vocabulary (RFC 2217) the client's two halves share: the commands it
// sends, the values it sends with them, and the state bits the server reports.
#pragma once

#include <cstddef>

namespace comport {

// client-to-server commands; the server answers each with the command plus kServer
constexpr unsigned char SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3,
                        SET_STOPSIZE = 4, SET_CONTROL = 5, SET_LINESTATE_MASK = 10,
                        SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;
constexpr unsigned char kServer = 100;
constexpr unsigned char DTR_ON = 8, RTS_ON = 11;
constexpr unsigned char PURGE_BOTH = 3;
// SET-PARITY's values: 1 none, 2 odd, 3 even, 4 mark, 5 space
constexpr char kParities[] = "?NOEMS";
// line state: break, framing, parity, overrun
constexpr unsigned char LS_BREAK = 16, LS_FRAMING = 8, LS_PARITY = 4, LS_OVERRUN = 2;
constexpr unsigned char kLineMask = LS_BREAK | LS_FRAMING | LS_PARITY | LS_OVERRUN;
// modem state: CD, RI, DSR, CTS and their deltas (RI's is its trailing edge)
constexpr unsigned char MS_CD = 128, MS_RI = 64, MS_DSR = 32, MS_CTS = 16;
constexpr unsigned char kModemMask = 0xFF;

} // namespace comport
