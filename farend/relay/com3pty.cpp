#include "farend/relay/com3pty.h"

#include "farend/io/transport.h"
#include "serial/termiosfacts.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

bool Com3Pty::make()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return fail(std::string("cannot make a pseudo-terminal: ") + std::strerror(errno));
    const char *slave = ptsname(master);
    if (!slave)
        return fail(std::string("cannot name the pseudo-terminal: ") + std::strerror(errno));
    slavePath = slave;
    termios t{};
    // a pty master reads and sets its slave's settings; a COM3 left cooked would change bytes
    if (tcgetattr(master, &t) != 0)
        return fail("cannot read " + slavePath + "'s settings: " + std::strerror(errno));
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    // with packet mode, EXTPROC makes every change of the settings known to this side
    t.c_lflag |= EXTPROC;
    if (tcsetattr(master, TCSANOW, &t) != 0)
        return fail("cannot set " + slavePath + " to raw 9600: " + std::strerror(errno));
    int on = 1;
    packetMode = ioctl(master, TIOCPKT, &on) == 0;
    if (symlink(slavePath.c_str(), path.c_str()) != 0)
        return fail("cannot make " + path + ": " + std::strerror(errno));
    linked = true;
    return true;
}

void Com3Pty::hangUp()
{
    if (linked) {
        char target[256];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n > 0 && slavePath == std::string(target, static_cast<std::size_t>(n)))
            unlink(path.c_str());
        linked = false;
    }
    if (master >= 0)
        close(master);
    master = -1;
    testerHere = false;
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
