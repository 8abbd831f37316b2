// The pure rules of UUCP lock files: reading the PID a lock names and judging it stale.
#include "serial/lockrules.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace posixcomm {

LockOwners lockOwners(const char *buf, long n)
{
    LockOwners owners;
    if (n <= 0)
        return owners;
    const char *c = buf, *end = buf + n;
    while (c < end && (*c == ' ' || *c == '\t'))
        ++c;
    long pid = 0;
    const char *digits = c;
    for (; c < end && std::isdigit(static_cast<unsigned char>(*c)) && pid <= kPidLimit; ++c)
        pid = pid * 10 + (*c - '0');
    if (c > digits && pid <= kPidLimit &&
        (c == end || *c == '\0' || std::isspace(static_cast<unsigned char>(*c))))
        owners.text = pid;
    if (n == sizeof(int)) {
        int binary;
        std::memcpy(&binary, buf, sizeof binary);
        if (binary > 0 && binary <= kPidLimit)
            owners.binary = binary;
    }
    return owners;
}

bool lockIsStale(const LockOwners &owners, long long ageMs, bool (*alive)(long))
{
    if (owners.text > 0 || owners.binary > 0)
        return !alive(owners.text) && !alive(owners.binary);
    return std::llabs(ageMs) >= kLockWriteGraceMs;
}

std::string lockFileName(std::string device)
{
    if (device.rfind("/dev/", 0) == 0)
        device.erase(0, 5);
    std::replace(device.begin(), device.end(), '/', '_');
    return "LCK.." + device;
}

} // namespace posixcomm
