#include "serial/port.h"

#include <cstdio>
#include <cstdlib>

HANDLE PortHandle;

namespace {

COMMTIMEOUTS CommTimeouts;
DCB PortDcb;
DWORD BytesWritten;
DWORD BytesRead;

[[noreturn]] void failExit(const char *message, bool portOpen)
{
    std::printf("%s", message);
    if (portOpen)
        CloseHandle(PortHandle);
    std::exit(0);
}

} // namespace

void OpenComPort()
{
    PortHandle = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (PortHandle == INVALID_HANDLE_VALUE)
        failExit("Port could not open.\n", false);

    if (!SetupComm(PortHandle, 512, 512))
        failExit("SetupComm failed.\n", true);

    if (!PurgeComm(PortHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        failExit("PurgeComm failed.\n", true);

    CommTimeouts.ReadIntervalTimeout = 5;
    CommTimeouts.ReadTotalTimeoutMultiplier = 0;
    CommTimeouts.ReadTotalTimeoutConstant = 5;
    CommTimeouts.WriteTotalTimeoutMultiplier = 0;
    CommTimeouts.WriteTotalTimeoutConstant = 5;
    if (!SetCommTimeouts(PortHandle, &CommTimeouts))
        failExit("SetCommTimeouts failed.\n", true);

    if (!GetCommState(PortHandle, &PortDcb))
        failExit("GetCommState failed.\n", true);

    PortDcb.BaudRate = 9600;
    PortDcb.Parity = NOPARITY;
    PortDcb.StopBits = ONESTOPBIT;
    PortDcb.ByteSize = 8;
    if (!SetCommState(PortHandle, &PortDcb))
        failExit("SetCommState failed.\n", true);
}

void AssertRts()
{
    if (!EscapeCommFunction(PortHandle, SETRTS))
        failExit("EscapeCommFunction failed.\n", true);
}

void WriteByte(const BYTE *store)
{
    if (!WriteFile(PortHandle, store, 1, &BytesWritten, nullptr))
        failExit("WriteFile failed.\n", true);
}

bool ReadByte(char *store)
{
    return ReadFile(PortHandle, store, 1, &BytesRead, nullptr) != 0;
}

void CloseComPort()
{
    CloseHandle(PortHandle);
}
