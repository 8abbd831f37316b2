// A real serial device as farend's line, through the same comm layer the tester opens COM3 with.
#include "farend/io/transport.h"

#include "serial/commapi.h"
#include "serial/lineerror.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace {

class SerialTransport : public Transport {
public:
    explicit SerialTransport(HANDLE handle) : handle(handle) {}
    ~SerialTransport() override { CloseHandle(handle); }   // the device's settings come back

    Event wait(double timeoutMs, std::string &in) override
    {
        // the comm layer counts whole milliseconds: a shorter wait is slept, then read
        if (timeoutMs < 1) {
            const timespec t{0, static_cast<long>(std::max(0.0, timeoutMs) * 1e6)};
            nanosleep(&t, nullptr);
            return readNow(in) ? Event::Quiet : Event::Failed;
        }
        // one byte with a deadline returns as soon as it comes; the rest is read at once
        COMMTIMEOUTS first{0, 0, static_cast<DWORD>(timeoutMs), 0, 1};
        char byte;
        DWORD got = 0;
        if (!SetCommTimeouts(handle, &first) || !ReadFile(handle, &byte, 1, &got, nullptr))
            return failed("reading");
        if (got == 0)
            return Event::Quiet;
        in.push_back(byte);
        return readNow(in) ? Event::Quiet : Event::Failed;
    }

    long send(const std::string &bytes) override
    {
        COMMTIMEOUTS brief{MAXDWORD, 0, 0, 0, 1};
        DWORD written = 0;
        if (!SetCommTimeouts(handle, &brief) ||
            !WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
            failed("writing");
            return -1;
        }
        return static_cast<long>(written);
    }

    // DTR and RTS drop, as when a device is switched off; through a null-modem cable they are
    // the tester's DCD, DSR and CTS. Devices without modem lines (ptys) just stop answering.
    bool hangUp() override
    {
        EscapeCommFunction(handle, CLRDTR);
        EscapeCommFunction(handle, CLRRTS);
        return false;
    }

    int fd() const override { return CommDescriptor(handle); }

private:
    bool readNow(std::string &in)
    {
        COMMTIMEOUTS now{MAXDWORD, 0, 0, 0, 1};
        for (;;) {
            char buf[4096];
            DWORD got = 0;
            if (!SetCommTimeouts(handle, &now) ||
                !ReadFile(handle, buf, sizeof buf, &got, nullptr)) {
                failed("reading");
                return false;
            }
            in.append(buf, got);
            if (got < sizeof buf)
                return true;
        }
    }

    Event failed(const char *doing)
    {
        const int err = static_cast<int>(GetLastError());
        fail(Errc::LineFailed,
             std::string(doing) + " failed: " +
                 (lineErrorOf(err) == LineError::HungUp ? "the line hung up" : std::strerror(err)));
        return Event::Failed;
    }

    HANDLE handle;
};

std::string lastErrorText()
{
    return std::strerror(static_cast<int>(GetLastError()));
}

Error openFailure(const std::string &device, int err)
{
    switch (lineErrorOf(err)) {
    case LineError::NoSuchDevice:
        return {Errc::NoSuchDevice, device + ": no such device"};
    case LineError::Busy:
        return {Errc::DeviceBusy, device + " is held by another program"};
    default:
        return {Errc::DeviceRefused, "cannot open " + device + ": " + std::strerror(err)};
    }
}

} // namespace

Opened<Transport> openSerialTransport(const std::string &device)
{
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Opened<Transport>::failed(openFailure(device, static_cast<int>(GetLastError())));
    auto line = std::make_unique<SerialTransport>(h);   // closes the handle on every way out
    if (!SetupComm(h, 4096, 4096))
        return Opened<Transport>::failed(Errc::NotATerminal, device + " is not a serial terminal");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return Opened<Transport>::failed(Errc::DeviceRefused, "cannot read the settings of " +
                                                                  device + ": " + lastErrorText());
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb))
        return Opened<Transport>::failed(Errc::DeviceRefused, "cannot set " + device +
                                                                  " to 9600 8N1: " + lastErrorText());
    // stale bytes from before we served are not the tester's
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    // a device that serves raises DTR and RTS, as a device server's port does
    EscapeCommFunction(h, SETDTR);
    EscapeCommFunction(h, SETRTS);
    return {std::move(line), {}};
}
