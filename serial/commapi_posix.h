// What the files of the comm layer over POSIX share: the line an open takes and how it is
// given back, the UUCP lock file, the terminal settings and the deadlines. Only serial/'s own
// files include it.
#pragma once

#include "serial/commapi.h"

#include <climits>
#include <string>

#include <sys/types.h>
#include <termios.h>

namespace posixcomm {

// --- giving the line back (restore.cpp) -----------------------------------------------------

// Everything closing a port must undo, in a form a signal handler can act on: no allocation.
struct LineState {
    int fd = -1;
    dev_t device = 0;         // to know the device again when reopening it after a hang-up
    bool restore = false;     // `original` is to be put back
    bool exclusive = false;   // TIOCEXCL is ours to clear
    termios original{};
    char path[PATH_MAX] = {};
    char lockFile[PATH_MAX] = {};   // our UUCP lock, empty when we hold none
};

// Puts the settings and exclusive mode back as they were found. Async-signal-safe.
void restoreLine(const LineState &line);
// Makes `line`, owned by process `owner`, known to the fatal-signal handler in `slot`, or in a
// free slot when `slot` is -1. Returns the slot; -1 when all are taken, and then the line gets
// the ordinary clean-up only.
int publishLine(int slot, pid_t owner, const LineState &line);
// The fatal-signal handler forgets the line in `slot` (-1: none).
void withdrawLine(int slot);

// --- UUCP lock files (lockfile.cpp) ---------------------------------------------------------

// The lock file's path for `device`, after its links: empty where no lock directory is writable.
std::string lockFilePath(const std::string &device);
// Creates our lock file for `device` and names it in `lockFile` (left empty where no lock
// directory is writable). Returns 0, or the errno that makes the open fail.
int takeLockFile(const std::string &device, char (&lockFile)[PATH_MAX]);
// Removes the lock file if it still names `owner`: another program may have taken it over.
void dropLockFile(const char *lockFile, pid_t owner);

// --- terminal settings (settings.cpp) -------------------------------------------------------

// Bytes in, bytes out, as a Win32 comm handle always is.
void makePassThrough(termios &t);
// Sets `wanted` and reads it back; 0, or the errno (EINVAL when only some of it took).
int applySettings(int fd, const termios &wanted);
// The DCB fields that termios can say.
DCB dcbOf(const termios &t);
// Puts the DCB's speed, framing and flow control into `t`; false when termios cannot say them.
bool applyDcb(const DCB &d, termios &t);

// --- deadlines (deadline.cpp) ---------------------------------------------------------------

// Whole milliseconds on the monotonic clock: what poll() counts in.
long long nowMs();
// Waits for `events` until `deadline` (nowMs(); -1 for none), retrying through signals.
// Returns the poll revents, 0 when the deadline passed, or -1 with errno set.
int pollUntil(int fd, short events, long long deadline);

} // namespace posixcomm
