// UUCP-style lock files, shared with minicom and Qt-based tools: taking one for a device, and
// dropping it again while it is still ours.
#include "serial/commapi_posix.h"
#include "serial/lockrules.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posixcomm {

namespace {

const char *lockDirectory()
{
    for (const char *dir : {"/run/lock", "/var/lock"}) {
        struct stat st;
        if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && access(dir, W_OK) == 0)
            return dir;
    }
    return nullptr;
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

} // namespace

std::string lockFilePath(const std::string &device)
{
    const char *dir = lockDirectory();
    return dir ? std::string(dir) + "/" + lockFileName(resolveLinks(device)) : std::string();
}

int takeLockFile(const std::string &device, char (&lockFile)[PATH_MAX])
{
    const std::string path = lockFilePath(device);
    if (path.empty())
        return 0;
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

void dropLockFile(const char *lockFile, pid_t owner)
{
    if (!lockFile[0])
        return;
    const LockFile lock = readLock(lockFile);
    if (lock.regular && lock.owners.text == owner)
        unlink(lockFile);
}

} // namespace posixcomm
