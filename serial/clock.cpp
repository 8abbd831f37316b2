// The comm operations over termios, ioctl, poll and flock: the only file that talks to the OS.
#include "serial/commapi.h"
#include "serial/clock.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

double monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

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

// --- what an open takes from the line, and how it is given back ------------------------------

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

// Puts the settings and exclusive mode back as they were found. A hung-up descriptor answers
// EIO; the device may still be there, so it is reopened by its path. Async-signal-safe.
void restoreLine(const LineState &line)
{
    bool hungUp = false;
    if (line.restore && tcsetattr(line.fd, TCSANOW, &line.original) != 0 && errno == EIO)
        hungUp = true;
    if (line.exclusive && ioctl(line.fd, TIOCNXCL) != 0 && errno == EIO)
        hungUp = true;
    if (!hungUp)
        return;
    // fails where the device is gone, or (for all but root) while our exclusive mode stands
    int fd = open(line.path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == line.device) {
        if (line.restore)
            tcsetattr(fd, TCSANOW, &line.original);
        if (line.exclusive)
            ioctl(fd, TIOCNXCL);
    }
    close(fd);
}

// The open lines as the emergency handler sees them. A slot is live while `owner` holds this
// process's PID: a forked child inherits the table but never acts on its parent's lines.
struct EmergencySlot {
    std::atomic<pid_t> owner{0};
    LineState line;
};
EmergencySlot emergencySlots[8];

// Signals whose default action ends the process. SIGTERM, SIGINT and SIGHUP are not here: the
// application turns them into a close of its window, which closes the port the ordinary way.
const int fatalSignals[] = {
    SIGQUIT, SIGILL,  SIGABRT, SIGFPE,    SIGSEGV, SIGBUS, SIGSYS,    SIGTRAP, SIGXCPU,
    SIGXFSZ, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGPWR, SIGSTKFLT, SIGPIPE,
};

void onFatalSignal(int sig)
{
    const int savedErrno = errno;
    const pid_t self = getpid();
    for (EmergencySlot &slot : emergencySlots) {
        if (slot.owner.load() != self)
            continue;
        restoreLine(slot.line);
        if (slot.line.lockFile[0])
            unlink(slot.line.lockFile);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);   // blocked while we run: the default action follows as the handler returns
    errno = savedErrno;
}

// Only where nobody installed a handler of their own (a sanitizer's, a debugger's helper).
void installEmergencyHandlers()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction sa {};
    sa.sa_handler = onFatalSignal;
    sigfillset(&sa.sa_mask);
    for (int sig : fatalSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
            old.sa_handler == SIG_DFL)
            sigaction(sig, &sa, nullptr);
    }
}

// --- UUCP-style lock files, shared with minicom and Qt-based tools ---------------------------

const char *lockDirectory()
{
    for (const char *dir : {"/run/lock", "/var/lock"}) {
        struct stat st;
        if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && access(dir, W_OK) == 0)
            return dir;
    }
    return nullptr;
}

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

LockOwners lockOwners(const char *buf, ssize_t n)
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

// Whether a regular lock file may be removed. One naming a process is stale when none it may
// name lives; one naming none when it is `ageMs` old either way: a writer is at it only in its
// first seconds, and a time stamp ahead of the clock (a clock set back, a bad RTC at boot)
// would otherwise block the port until the clock passes it.
bool lockIsStale(const LockOwners &owners, long long ageMs, bool (*alive)(long))
{
    if (owners.text > 0 || owners.binary > 0)
        return !alive(owners.text) && !alive(owners.binary);
    return std::llabs(ageMs) >= kLockWriteGraceMs;
}

struct LockFile {
    bool exists = false;
    bool regular = false;
    LockOwners owners;   // none named when empty, unreadable or garbled
    timespec modified{};
};

// Reads a lock file without following a link, without waiting for a writer (a FIFO) and
// without opening anything but a regular file.
LockFile readLock(const std::string &path)
{
    LockFile lock;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        lock.exists = errno != ENOENT;
        return lock;
    }
    lock.exists = true;
    lock.modified = st.st_mtim;
    if (!S_ISREG(st.st_mode))
        return lock;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            lock.exists = false;
        else if (errno == EACCES)
            lock.regular = true;   // there, but unreadable: judged by its age
        return lock;
    }
    struct stat opened;
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) {
        lock.regular = true;
        lock.modified = opened.st_mtim;
        char buf[64];
        lock.owners = lockOwners(buf, read(fd, buf, sizeof buf));
    }
    close(fd);
    return lock;
}

bool processAlive(long pid)
{
    return pid > 0 && pid <= kPidLimit &&
           (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// A FIFO, a link or a device in the lock's place is never ours to judge: it stays.
bool mayTakeOver(const LockFile &lock)
{
    if (!lock.regular)
        return false;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long long ageMs = (now.tv_sec - lock.modified.tv_sec) * 1000LL +
                            (now.tv_nsec - lock.modified.tv_nsec) / 1000000;
    return lockIsStale(lock.owners, ageMs, processAlive);
}

// The device a path leads to through its symbolic links (a udev alias, a redirector's link).
// Followed link by link with readlink: device mocks intercept that, and not always realpath.
std::string resolveLinks(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0)
            break;
        target[n] = 0;
        if (target[0] == '/')
            path = target;
        else
            path = path.substr(0, path.rfind('/') + 1) + target;
    }
    return path;
}

// Creates our lock file for `device` and names it in `lockFile`. Returns 0, or the errno that
// makes the open fail.
int takeLockFile(const std::string &device, char (&lockFile)[PATH_MAX])
{
    const char *dir = lockDirectory();
    if (!dir)
        return 0;
    std::string name = resolveLinks(device);
    if (name.rfind("/dev/", 0) == 0)
        name.erase(0, 5);
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string path = std::string(dir) + "/LCK.." + name;
    if (path.size() >= sizeof lockFile)
        return ENAMETOOLONG;

    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
            bool written = write(fd, text, len) == len;
            int err = errno;
            close(fd);
            if (!written) {
                unlink(path.c_str());
                return err ? err : EIO;
            }
            std::memcpy(lockFile, path.c_str(), path.size() + 1);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
        const LockFile found = readLock(path);
        if (!found.exists)
            continue;   // removed meanwhile: try again
        if (!mayTakeOver(found))
            return EBUSY;
        unlink(path.c_str());
    }
    return EBUSY;
}

// --- the port object -------------------------------------------------------------------------

// One open port. It owns what the open took (descriptor and flock, lock file, exclusive mode,
// changed settings) and gives all of it back when it goes: on CloseHandle, on a failed open,
// and through the static handle table when the process ends with exit().
class Port {
public:
    Port() = default;
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;
    ~Port() { release(); }

    // Makes what has been taken so far known to the emergency handler.
    void publish();
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

void Port::publish()
{
    installEmergencyHandlers();
    if (slot < 0) {
        for (int i = 0; i < int(std::size(emergencySlots)) && slot < 0; ++i)
            if (emergencySlots[i].owner.load() != owner)
                slot = i;
        if (slot < 0)
            return;   // more ports than slots: these get the ordinary clean-up only
    }
    emergencySlots[slot].owner.store(0);
    emergencySlots[slot].line = line;
    emergencySlots[slot].owner.store(owner);
}

int Port::release()
{
    if (line.fd < 0)
        return 0;
    if (owner == getpid()) {
        restoreLine(line);
        if (line.lockFile[0]) {
            const LockFile lock = readLock(line.lockFile);
            if (lock.regular && lock.owners.text == owner)
                unlink(line.lockFile);
        }
        if (slot >= 0)
            emergencySlots[slot].owner.store(0);
    }
    // the flock goes with the descriptor, after the lock file
    const int err = close(line.fd) == 0 ? 0 : errno;
    line.fd = -1;
    return err;
}

// Handles are never reused, so an operation on a closed handle fails instead of touching
// another port. Static: exit() destroys it, and with it every port still open.
std::map<std::uintptr_t, std::unique_ptr<Port>> openPorts;
std::uintptr_t nextHandle = 1;

// The open port behind a handle, or null with the error set: EBADF for a handle that is not
// open, then EINVAL when the call's other arguments are not usable.
Port *portOf(HANDLE h, bool argumentsUsable = true)
{
    auto it = openPorts.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == openPorts.end()) {
        lastError = EBADF;
        return nullptr;
    }
    if (!argumentsUsable) {
        lastError = EINVAL;
        return nullptr;
    }
    return it->second.get();
}

// --- terminal settings -----------------------------------------------------------------------

struct Speed {
    DWORD baud;
    speed_t code;
};
const Speed speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// Bytes in, bytes out: a Win32 comm handle is always binary. XON/XOFF would swallow 0x11 and
// 0x13 and let one received 0x13 stop all sending; hardware flow control and the rest stay.
void makePassThrough(termios &t)
{
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL |
                   IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;   // enable receiver; ignore modem status lines
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

bool sameSettings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           (a.c_cflag & ~CBAUD) == (b.c_cflag & ~CBAUD) && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME] && a.c_cc[VSTART] == b.c_cc[VSTART] &&
           a.c_cc[VSTOP] == b.c_cc[VSTOP];
}

// Set, then read back: tcsetattr reports success when only some of the changes took.
int applySettings(int fd, const termios &wanted)
{
    if (tcsetattr(fd, TCSANOW, &wanted) != 0)
        return errno;
    termios actual;
    if (tcgetattr(fd, &actual) != 0)
        return errno;
    return sameSettings(actual, wanted) ? 0 : EINVAL;
}

// --- deadlines --------------------------------------------------------------------------------

// Whole milliseconds: what poll() counts in.
long long nowMs()
{
    return static_cast<long long>(monotonicMs());
}

// Waits for `events` until `deadline` (ms, monotonic; -1 for none). Returns the poll revents,
// 0 when the deadline passed, or -1 with errno set.
int waitFor(int fd, short events, long long deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline >= 0)
            timeout = static_cast<int>(std::max(0LL, deadline - nowMs()));
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, timeout);
        if (r > 0)
            return p.revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
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
    // from here on the port object undoes whatever the open got to
    auto port = std::make_unique<Port>();
    LineState &line = port->line;
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
    port->publish();
    // root gets past another owner's TIOCEXCL: refuse rather than share, or later clear it
    int othersExclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &othersExclusive) == 0 && othersExclusive)
        return giveUp(EBUSY);
    // TIOCEXCL keeps out the programs that use no flock
    if (ioctl(fd, TIOCEXCL) == 0)
        line.exclusive = true;
    else if (errno != ENOTTY && errno != EINVAL)
        return giveUp(errno);
    port->isTerminal = tcgetattr(fd, &line.original) == 0;
    if (port->isTerminal) {
        line.restore = true;
        port->publish();
        termios raw = line.original;
        makePassThrough(raw);
        if (int err = applySettings(fd, raw))
            return giveUp(err);
    } else {
        port->publish();
    }
    auto handle = nextHandle++;
    openPorts.emplace(handle, std::move(port));
    return reinterpret_cast<HANDLE>(handle);
}

BOOL SetupComm(HANDLE hFile, DWORD, DWORD)
{
    Port *p = portOf(hFile);
    if (!p)
        return 0;
    return p->isTerminal ? 1 : fail(ENOTTY);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    Port *p =
        portOf(hFile, !(dwFlags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)));
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
    Port *p = portOf(hFile, lpCommTimeouts != nullptr);
    if (!p)
        return 0;
    p->timeouts = *lpCommTimeouts;
    return 1;
}

BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS *lpCommTimeouts)
{
    Port *p = portOf(hFile, lpCommTimeouts != nullptr);
    if (!p)
        return 0;
    *lpCommTimeouts = p->timeouts;
    return 1;
}

BOOL GetCommState(HANDLE hFile, DCB *lpDCB)
{
    Port *p = portOf(hFile, lpDCB != nullptr);
    if (!p)
        return 0;
    termios t;
    if (tcgetattr(p->fd(), &t) != 0)
        return fail(errno);

    DCB d{};
    d.DCBlength = sizeof(DCB);
    const speed_t code = cfgetospeed(&t);
    for (const Speed &s : speeds)
        if (s.code == code)
            d.BaudRate = s.baud;
    d.fBinary = 1;
    d.fParity = (t.c_iflag & INPCK) != 0;
    d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    d.fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fOutX = (t.c_iflag & IXON) != 0;
    d.fInX = (t.c_iflag & IXOFF) != 0;
    switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        d.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    d.StopBits = (t.c_cflag & CSTOPB) ? (d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS) : ONESTOPBIT;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    d.EofChar = static_cast<char>(t.c_cc[VEOF]);
    *lpDCB = d;
    return 1;
}

BOOL SetCommState(HANDLE hFile, DCB *lpDCB)
{
    Port *p = portOf(hFile, lpDCB != nullptr);
    if (!p)
        return 0;
    const DCB &d = *lpDCB;
    termios t;
    if (tcgetattr(p->fd(), &t) != 0)
        return fail(errno);

    const Speed *speed = nullptr;
    for (const Speed &s : speeds)
        if (s.baud == d.BaudRate)
            speed = &s;
    if (!speed)
        return fail(EINVAL);
    cfsetispeed(&t, speed->code);
    cfsetospeed(&t, speed->code);

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (d.ByteSize < 5 || d.ByteSize > 8)
        return fail(EINVAL);
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[d.ByteSize - 5];

    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (d.Parity) {
    case NOPARITY: break;
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: return fail(EINVAL);
    }

    if (d.StopBits == ONESTOPBIT)
        t.c_cflag &= ~CSTOPB;
    else if (d.StopBits == TWOSTOPBITS || (d.StopBits == ONE5STOPBITS && d.ByteSize == 5))
        t.c_cflag |= CSTOPB;
    else
        return fail(EINVAL);

    // the fields GetCommState reported; unchanged by the caller, they change nothing here
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    t.c_iflag = d.fParity ? (t.c_iflag | INPCK) : (t.c_iflag & ~INPCK);
    t.c_iflag = d.fOutX ? (t.c_iflag | IXON) : (t.c_iflag & ~IXON);
    t.c_iflag = d.fInX ? (t.c_iflag | IXOFF) : (t.c_iflag & ~IXOFF);
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);

    if (int err = applySettings(p->fd(), t))
        return fail(err);
    return 1;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    Port *p = portOf(hFile);
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
    if (errno == ENOTTY || errno == EINVAL)
        return 1;
    return fail(errno);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, OVERLAPPED *lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    Port *p = portOf(hFile, !lpOverlapped && (lpBuffer || !nNumberOfBytesToWrite));
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
        int ready = waitFor(p->fd(), POLLOUT, deadline);
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
    Port *p = portOf(hFile, !lpOverlapped && (lpBuffer || !nNumberOfBytesToRead));
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
        int ready = waitFor(p->fd(), POLLIN, deadline);
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
    auto it = openPorts.find(reinterpret_cast<std::uintptr_t>(hObject));
    if (it == openPorts.end())
        return fail(EBADF);
    const int err = it->second->release();
    openPorts.erase(it);
    return err == 0 ? 1 : fail(err);
}

DWORD GetLastError()
{
    return lastError;
}
