// The rules of UUCP lock files that need no file system: who a lock file's content names,
// when a lock may be taken over, and the lock's name for a device.
#pragma once

#include <string>

namespace posixcomm {

// The kernel never hands out a PID above this (PID_MAX_LIMIT on 64-bit Linux).
constexpr long kPidLimit = 4 * 1024 * 1024;

// A lock file that names no process may be one whose writer has created it and not yet
// written its PID; once it is this old, no writer can still be at it.
constexpr long long kLockWriteGraceMs = 5000;

// Who a lock file's content may name. Its first field, decimal digits after blanks and ended by
// the end, white space or a NUL, is the text form; whatever follows it is the writer's business.
// Exactly four bytes may also be the old binary form, a native int: "123\0" reads as both, and
// each reading that names a live process keeps the lock.
struct LockOwners {
    long text = 0;     // 0: no text PID
    long binary = 0;   // 0: not the binary form
};

// `n` is what read() returned for `buf`: nothing is named when it is 0 or less.
LockOwners lockOwners(const char *buf, long n);

// Whether a regular lock file may be removed. One naming a process is stale when none it may
// name lives; one naming none when it is `ageMs` old either way: a writer is at it only in its
// first seconds, and a time stamp ahead of the clock (a clock set back, a bad RTC at boot)
// would otherwise block the port until the clock passes it.
bool lockIsStale(const LockOwners &owners, long long ageMs, bool (*alive)(long));

// "LCK.." and the device's path below /dev with '/' as '_' ("/dev/pts/3": "LCK..pts_3").
std::string lockFileName(std::string device);

} // namespace posixcomm
