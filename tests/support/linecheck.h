// What the tester may change on a terminal, read back so that a test can compare it with what
// was there before: the settings, exclusive mode and the UUCP lock file.
#pragma once

#include "serial/commapi_posix.h"
#include "tests/support/ptypair.h"

#include <QByteArray>
#include <QString>

#include <string>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// The lock file the tester takes for `device`, named by the serial layer itself (its rules are
// pinned by test_lockrules), or empty where no lock directory is writable.
inline QString lockFileFor(const std::string &device)
{
    return QString::fromStdString(posixcomm::lockFilePath(device));
}

inline QString lockFileFor(const QString &device)
{
    return lockFileFor(device.toStdString());
}

// A lock file naming `pid` in the old 4-byte binary form.
inline QByteArray binaryPid(int pid)
{
    return QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid);
}

// A terminal's settings as text, so that a comparison shows what differs.
inline QByteArray describe(const termios &t)
{
    return "iflag " + QByteArray::number(t.c_iflag, 8) + " oflag " +
           QByteArray::number(t.c_oflag, 8) + " cflag " + QByteArray::number(t.c_cflag, 8) +
           " lflag " + QByteArray::number(t.c_lflag, 8) + " line " +
           QByteArray::number(t.c_line) + " speed " + QByteArray::number(cfgetispeed(&t)) + "/" +
           QByteArray::number(cfgetospeed(&t)) + " cc " +
           QByteArray(reinterpret_cast<const char *>(t.c_cc), sizeof t.c_cc).toHex();
}

inline QByteArray settingsOf(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return "unreadable";
    return describe(t);
}

inline bool exclusiveMode(int fd)
{
    int on = 0;
    return ioctl(fd, TIOCGEXCL, &on) == 0 && on;
}

// Gives the terminal the settings the kernel gives a new one (IXON, ICRNL, ECHO on, as a
// serial driver starts after boot) at 19200 baud, far from anything the tester sets. Returns
// them as read back, or empty when they could not be set.
inline QByteArray startWithKernelDefaultsAt19200(int fd)
{
    termios t = PtyPair().settings();
    cfsetspeed(&t, B19200);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return QByteArray();
    return settingsOf(fd);
}
