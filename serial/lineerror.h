// What an errno from a serial line means: one table for the comm layer and for whoever reports
// its failures (farend's messages).
#pragma once

#include <cerrno>

enum class LineError {
    NoSuchDevice,   // nothing at the path, or no device behind it
    Busy,           // another program holds the line (flock, lock file, exclusive mode)
    HungUp,         // the far side went away: a USB adapter pulled, a pty's master closed
    Unsupported,    // an ioctl the device does not have: modem lines on ptys, TIOCEXCL on a file
    Other,
};

// Async-signal-safe: the fatal-signal handler asks it too.
constexpr LineError lineErrorOf(int err)
{
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return LineError::NoSuchDevice;
    case EBUSY:
        return LineError::Busy;
    case EIO:
        return LineError::HungUp;
    case ENOTTY:
    case EINVAL:   // older kernels' answer for ENOTTY
        return LineError::Unsupported;
    default:
        return LineError::Other;
    }
}
