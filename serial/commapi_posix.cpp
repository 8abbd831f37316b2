// The comm operations and their handle table: each handle is an open device that owns what
// its open took. The other files of serial/ hold the lock files, the line's restore, the
// settings and the deadlines these operations are made of.
#include "serial/commapi.h"
#include "serial/commapi_posix.h"
#include "serial/lineerror.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace posixcomm;

namespace {

thread_local DWORD lastError = 0;

BOOL fail(int err)
{
    lastError = static_cast<DWORD>(err);
    return 0;
}

std::string devicePath(const char *name)
{
    int n = 0;
    char rest = 0;
    if (std::sscanf(name, "COM%d%c", &n, &rest) == 1 && n >= 1) {
        std::string alias = std::string("/dev/") + name;
        struct stat st;
        // a dangling alias still names the user's port: do not fall back to another device
        if (lstat(alias.c_str(), &st) == 0)
            return alias;
        return "/dev/ttyS" + std::to_string(n - 1);
    }
    return name;
}

// One open device. It owns what the open took (descriptor and flock, lock file, exclusive
// mode, changed settings) and gives all of it back when it goes: on CloseHandle, on a failed
// open, and through the static handle table when the process ends with exit().
class OpenDevice {
public:
    OpenDevice() = default;
    OpenDevice(const OpenDevice &) = delete;
    OpenDevice &operator=(const OpenDevice &) = delete;
    ~OpenDevice() { release(); }

    // Makes what has been taken so far known to the emergency handler.
    void publish() { slot = publishLine(slot, owner, line); }
    // Gives everything back; returns 0 or the errno of closing the descriptor.
    int release();
    int fd() const { return line.fd; }

    LineState line;
    bool isTerminal = false;
    COMMTIMEOUTS timeouts{};   // all zero until set: wait without limit, as on Win32

private:
    const pid_t owner = getpid();   // a forked child closes its copy and leaves the line alone
    int slot = -1;
};

int OpenDevice::release()
{
    if (line.fd < 0)
        return 0;
    if (owner == getpid()) {
        restoreLine(line);
        dropLockFile(line.lockFile, owner);
        withdrawLine(slot);
    }
    // the flock goes with the descriptor, after the lock file
    const int err = close(line.fd) == 0 ? 0 : errno;
    line.fd = -1;
    return err;
}

// Handles are never reused, so an operation on a closed handle fails instead of touching
// another port. Static: exit() destroys it, and with it every port still open.
std::map<std::uintptr_t, std::unique_ptr<OpenDevice>> openDevices;
std::uintptr_t nextHandle = 1;

// The open device behind a handle, or null with the error set: EBADF for a handle that is not
// open, then EINVAL when the call's other arguments are not usable.
OpenDevice *deviceOf(HANDLE h, bool argumentsUsable = true)
{
    auto it = openDevices.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == openDevices.end()) {
        lastError = EBADF;
        return nullptr;
    }
    if (!argumentsUsable) {
        lastError = EINVAL;
        return nullptr;
    }
    return it->second.get();
}

// The same, with the terminal's settings as they are now in `t`.
OpenDevice *settingsOf(HANDLE h, bool argumentsUsable, termios &t)
{
    OpenDevice *p = deviceOf(h, argumentsUsable);
    if (p && tcgetattr(p->fd(), &t) != 0) {
        lastError = static_cast<DWORD>(errno);
        return nullptr;
    }
    return p;
}

} // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   SECURITY_ATTRIBUTES * /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/)
{
    if (!lpFileName) {
        fail(EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    int access = O_RDWR;
    if (!(dwDesiredAccess & GENERIC_WRITE))
        access = O_RDONLY;
    else if (!(dwDesiredAccess & GENERIC_READ))
        access = O_WRONLY;

    const std::string path = devicePath(lpFileName);
    if (path.size() >= PATH_MAX) {
        fail(ENAMETOOLONG);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        return INVALID_HANDLE_VALUE;
    }
    // from here on the device object undoes whatever the open got to
    auto device = std::make_unique<OpenDevice>();
    LineState &line = device->line;
    line.fd = fd;
    std::memcpy(line.path, path.c_str(), path.size() + 1);
    struct stat st;
    if (fstat(fd, &st) == 0)
        line.device = st.st_rdev;
    auto giveUp = [](int err) {
        fail(err);
        return INVALID_HANDLE_VALUE;
    };

    // flock keeps out every program that uses it, root included, and comes first so that a
    // second tester never gets as far as another program's lock file
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return giveUp(errno == EWOULDBLOCK ? EBUSY : errno);
    if (int err = takeLockFile(path, line.lockFile))
        return giveUp(err);
    device->publish();
    // root gets past another owner's TIOCEXCL: refuse rather than share, or later clear it
    int othersExclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &othersExclusive) == 0 && othersExclusive)
        return giveUp(EBUSY);
    // TIOCEXCL keeps out the programs that use no flock
    if (ioctl(fd, TIOCEXCL) == 0)
        line.exclusive = true;
    else if (lineErrorOf(errno) != LineError::Unsupported)
        return giveUp(errno);
    device->isTerminal = tcgetattr(fd, &line.original) == 0;
    if (device->isTerminal) {
        line.restore = true;
        device->publish();
        termios raw = line.original;
        makePassThrough(raw);
        if (int err = applySettings(fd, raw))
            return giveUp(err);
    } else {
        device->publish();
    }
    auto handle = nextHandle++;
    openDevices.emplace(handle, std::move(device));
    return reinterpret_cast<HANDLE>(handle);
}

int CommDescriptor(HANDLE hFile)
{
    const OpenDevice *device = deviceOf(hFile);
    return device ? device->fd() : -1;
}

BOOL SetupComm(HANDLE hFile, DWORD, DWORD)
{
    OpenDevice *p = deviceOf(hFile);
    if (!p)
        return 0;
    return p->isTerminal ? 1 : fail(ENOTTY);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    OpenDevice *p = deviceOf(hFile, !(dwFlags & ~known));
    if (!p)
        return 0;
    // I/O here is never overlapped, so there is no pending transfer to abort
    const bool tx = dwFlags & PURGE_TXCLEAR, rx = dwFlags & PURGE_RXCLEAR;
    if (!tx && !rx)
        return 1;
    if (tcflush(p->fd(), tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH) != 0)
        return fail(errno);
    return 1;
}

BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS *lpCommTimeouts)
{
    OpenDevice *p = deviceOf(hFile, lpCommTimeouts != nullptr);
    if (!p)
        return 0;
    p->timeouts = *lpCommTimeouts;
    return 1;
}

BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS *lpCommTimeouts)
{
    OpenDevice *p = deviceOf(hFile, lpCommTimeouts != nullptr);
    if (!p)
        return 0;
    *lpCommTimeouts = p->timeouts;
    return 1;
}

BOOL GetCommState(HANDLE hFile, DCB *lpDCB)
{
    termios t;
    if (!settingsOf(hFile, lpDCB != nullptr, t))
        return 0;
    *lpDCB = dcbOf(t);
    return 1;
}

BOOL SetCommState(HANDLE hFile, DCB *lpDCB)
{
    termios t;
    OpenDevice *p = settingsOf(hFile, lpDCB != nullptr, t);
    if (!p)
        return 0;
    if (!applyDcb(*lpDCB, t))
        return fail(EINVAL);
    if (int err = applySettings(p->fd(), t))
        return fail(err);
    return 1;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    OpenDevice *p = deviceOf(hFile);
    if (!p)
        return 0;
    unsigned long request;
    int bits;
    switch (dwFunc) {
    case SETRTS: request = TIOCMBIS; bits = TIOCM_RTS; break;
    case CLRRTS: request = TIOCMBIC; bits = TIOCM_RTS; break;
    case SETDTR: request = TIOCMBIS; bits = TIOCM_DTR; break;
    case CLRDTR: request = TIOCMBIC; bits = TIOCM_DTR; break;
    default: return fail(EINVAL);
    }
    if (ioctl(p->fd(), request, &bits) == 0)
        return 1;
    // no modem-control lines (ptys, many virtual ports): accepted, as a virtual-port driver does
    if (lineErrorOf(errno) == LineError::Unsupported)
        return 1;
    return fail(errno);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, OVERLAPPED *lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    OpenDevice *p = deviceOf(hFile, !lpOverlapped && (lpBuffer || !nNumberOfBytesToWrite));
    if (!p)
        return 0;
    const COMMTIMEOUTS &to = p->timeouts;
    const long long total = static_cast<long long>(to.WriteTotalTimeoutMultiplier) *
                                nNumberOfBytesToWrite + to.WriteTotalTimeoutConstant;
    const long long deadline = total ? nowMs() + total : -1;
    const char *data = static_cast<const char *>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = write(p->fd(), data + done, nNumberOfBytesToWrite - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return fail(errno);
        int ready = pollUntil(p->fd(), POLLOUT, deadline);
        if (ready < 0)
            return fail(errno);
        if (ready == 0)
            break;   // time-out: success with what went out
        if (ready & (POLLERR | POLLHUP | POLLNVAL))
            return fail(EIO);
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = done;
    return 1;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, OVERLAPPED *lpOverlapped)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    OpenDevice *p = deviceOf(hFile, !lpOverlapped && (lpBuffer || !nNumberOfBytesToRead));
    if (!p)
        return 0;
    const COMMTIMEOUTS &to = p->timeouts;
    // MAXDWORD interval with no totals: return at once with what is there
    const bool immediate = to.ReadIntervalTimeout == MAXDWORD &&
                           to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
    const long long total = static_cast<long long>(to.ReadTotalTimeoutMultiplier) *
                                nNumberOfBytesToRead + to.ReadTotalTimeoutConstant;
    const long long start = nowMs();
    const long long totalDeadline = immediate ? start : total ? start + total : -1;
    const bool useInterval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD;
    char *data = static_cast<char *>(lpBuffer);
    DWORD done = 0;
    bool hungUp = false;
    while (done < nNumberOfBytesToRead) {
        ssize_t n = read(p->fd(), data + done, nNumberOfBytesToRead - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || hungUp)
            return fail(EIO);   // end of file on a terminal: the far side hung up
        if (errno != EAGAIN)
            return fail(errno);
        long long deadline = totalDeadline;
        if (done > 0 && useInterval) {
            long long interval = nowMs() + to.ReadIntervalTimeout;
            deadline = deadline < 0 ? interval : std::min(deadline, interval);
        }
        int ready = pollUntil(p->fd(), POLLIN, deadline);
        if (ready < 0)
            return fail(errno);
        if (ready == 0)
            break;   // time-out: success with what came
        // bytes that arrived before a hang-up are still read first
        hungUp = ready & (POLLERR | POLLHUP | POLLNVAL);
        if (hungUp && !(ready & POLLIN))
            return fail(EIO);
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = done;
    return 1;
}

BOOL CloseHandle(HANDLE hObject)
{
    auto it = openDevices.find(reinterpret_cast<std::uintptr_t>(hObject));
    if (it == openDevices.end())
        return fail(EBADF);
    const int err = it->second->release();
    openDevices.erase(it);
    return err == 0 ? 1 : fail(err);
}

DWORD GetLastError()
{
    return lastError;
}
