// The one serial port of the tester: "COM3", 9600 baud 8N1, 5 ms time-outs.
#pragma once

#include "serial/commapi.h"

extern HANDLE PortHandle;

// Opens and configures the port. On any failure prints its line on standard output, closes
// what was opened and ends the process with status 0.
void OpenComPort();
// Per-tick operations. Failures of the first two end the process the same way.
void AssertRts();
void WriteByte(const BYTE *store);
// Returns false when the read call failed; a time-out with nothing is a success and leaves
// the store as it was.
bool ReadByte(char *store);
void CloseComPort();
