#include "farend/relay/com3pty.h"

#include "farend/io/transport.h"
#include "serial/termiosfacts.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr mode_t kSerialDeviceMode = 0660;

// Where the link at `path` leads; empty when `path` is no link.
std::string linkTarget(const std::string &path)
{
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string userName(uid_t uid)
{
    const passwd *p = getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    const group *g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

// The user who ran farend through sudo, when farend runs as root.
std::optional<uid_t> sudoUser()
{
    const char *id = std::getenv("SUDO_UID");
    if (geteuid() != 0 || !id || !*id)
        return std::nullopt;
    char *end = nullptr;
    const unsigned long uid = std::strtoul(id, &end, 10);
    return *end ? std::nullopt : std::optional<uid_t>(static_cast<uid_t>(uid));
}

std::optional<gid_t> dialout()
{
    const group *g = getgrnam("dialout");
    return g ? std::optional<gid_t>(g->gr_gid) : std::nullopt;
}

} // namespace

bool Com3Pty::linkFree()
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return true;
    const std::string target = S_ISLNK(st.st_mode) ? linkTarget(path) : std::string();
    // a pseudo-terminal's node goes when its master closes: only a dead relay's link dangles so
    if (target.rfind("/dev/pts/", 0) == 0 && stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        stale = target;
        return true;
    }
    return fail(Errc::LinkExists, path + " exists already");
}

bool Com3Pty::failedTo(const std::string &what)
{
    return fail(Errc::Com3Failed, "cannot " + what + ": " + std::strerror(errno));
}

bool Com3Pty::make()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return failedTo("make a pseudo-terminal");
    const char *slave = ptsname(master);
    if (!slave)
        return failedTo("name the pseudo-terminal");
    slavePath = slave;
    termios t{};
    // a pty master reads and sets its slave's settings; a COM3 left cooked would change bytes
    if (tcgetattr(master, &t) != 0)
        return failedTo("read " + slavePath + "'s settings");
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    // with packet mode, EXTPROC makes every change of the settings known to this side
    t.c_lflag |= EXTPROC;
    if (tcsetattr(master, TCSANOW, &t) != 0)
        return failedTo("set " + slavePath + " to raw 9600");
    int on = 1;
    packetMode = ioctl(master, TIOCPKT, &on) == 0;
    if (!setAccess())
        return false;
    if (!stale.empty() && linkTarget(path) == stale)
        unlink(path.c_str());
    if (symlink(slavePath.c_str(), path.c_str()) != 0)
        return failedTo("make " + path);
    linked = true;
    return true;
}

// A master reports POLLHUP only once a slave has been opened and closed: the slave is opened
// here to give it its owner, group and mode, and its close makes COM3 read as closed until the
// tester opens it.
bool Com3Pty::setAccess()
{
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        return failedTo("open " + slavePath);
    const std::optional<uid_t> owner = access.owner ? access.owner : sudoUser();
    const std::optional<gid_t> group = access.group ? access.group : dialout();
    const mode_t mode = access.mode.value_or(kSerialDeviceMode);
    std::string why;
    int err = 0;   // read before the names are looked up, which may change errno
    // what was not asked for is given where it can be, and left as it is where it cannot
    if (owner && fchown(slave, *owner, static_cast<gid_t>(-1)) != 0 && access.owner) {
        err = errno;
        why = "cannot give " + slavePath + " to " + userName(*owner);
    } else if (group && fchown(slave, static_cast<uid_t>(-1), *group) != 0 && access.group) {
        err = errno;
        why = "cannot give " + slavePath + " to group " + groupName(*group);
    } else if (fchmod(slave, mode) != 0 && access.mode) {
        err = errno;
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
        why = "cannot set " + slavePath + " to mode " + octal;
    }
    close(slave);
    return why.empty() || fail(Errc::Com3Failed, why + ": " + std::strerror(err));
}

void Com3Pty::hangUp()
{
    if (linked) {
        if (linkTarget(path) == slavePath)
            unlink(path.c_str());
        linked = false;
    }
    if (master >= 0)
        close(master);
    master = -1;
    testerHere = false;
}

std::string Com3Pty::describe() const
{
    struct stat st;
    if (stat(slavePath.c_str(), &st) != 0)
        return slavePath;
    std::string perms = "c---------";
    const char *letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        if (st.st_mode & (0400 >> bit))
            perms[1 + bit] = letters[bit];
    return slavePath + " (" + perms + " " + userName(st.st_uid) + " " + groupName(st.st_gid) +
           ")";
}

bool Com3Pty::checkOpen()
{
    pollfd p{master, POLLIN, 0};
    poll(&p, 1, 0);
    testerHere = !(p.revents & POLLHUP) || (p.revents & POLLIN);
    return testerHere;
}

bool Com3Pty::read(std::string &data, bool &changed)
{
    const Drained d = drain(master, [&](const char *bytes, std::size_t n) {
        if (!packetMode)
            data.append(bytes, n);
        else if (bytes[0] == TIOCPKT_DATA)
            data.append(bytes + 1, n - 1);
        else
            changed = true;
    });
    if (d == Drained::Open)
        return true;
    testerHere = false;   // EIO: the last opener closed its end
    return false;
}

long Com3Pty::write(const std::string &bytes)
{
    const ssize_t n = ::write(master, bytes.data(), bytes.size());
    if (n >= 0)
        return n;
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

LineSettings Com3Pty::settings() const
{
    termios t{};
    LineSettings s;
    if (tcgetattr(master, &t) != 0)
        return s;
    s.baud = termiosfacts::baudOf(cfgetospeed(&t));
    s.dataBits = termiosfacts::dataBitsOf(t.c_cflag);
    s.parity = termiosfacts::parityOf(t.c_cflag);
    s.stopBits = termiosfacts::stopBitsOf(t.c_cflag);
    return s;
}
