// Giving the line back: the settings and exclusive mode as they were found, on an ordinary
// close and, through emergency slots, from the handler of a signal that ends the process.
#include "serial/commapi_posix.h"
#include "serial/lineerror.h"

#include <atomic>
#include <cerrno>
#include <iterator>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posixcomm {

namespace {

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

} // namespace

// A hung-up descriptor answers EIO; the device may still be there, so it is reopened by its
// path.
void restoreLine(const LineState &line)
{
    bool hungUp = false;
    if (line.restore && tcsetattr(line.fd, TCSANOW, &line.original) != 0 &&
        lineErrorOf(errno) == LineError::HungUp)
        hungUp = true;
    if (line.exclusive && ioctl(line.fd, TIOCNXCL) != 0 && lineErrorOf(errno) == LineError::HungUp)
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

int publishLine(int slot, pid_t owner, const LineState &line)
{
    installEmergencyHandlers();
    for (int i = 0; i < int(std::size(emergencySlots)) && slot < 0; ++i)
        if (emergencySlots[i].owner.load() != owner)
            slot = i;
    if (slot < 0)
        return -1;
    emergencySlots[slot].owner.store(0);
    emergencySlots[slot].line = line;
    emergencySlots[slot].owner.store(owner);
    return slot;
}

void withdrawLine(int slot)
{
    if (slot >= 0)
        emergencySlots[slot].owner.store(0);
}

} // namespace posixcomm
