// The terminal settings: termios as a Win32 DCB and back, the pass-through line discipline,
// and setting them with a read-back.
#include "serial/commapi_posix.h"
#include "serial/termiosfacts.h"

#include <cerrno>

namespace posixcomm {

namespace {

bool sameSettings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           (a.c_cflag & ~CBAUD) == (b.c_cflag & ~CBAUD) && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME] && a.c_cc[VSTART] == b.c_cc[VSTART] &&
           a.c_cc[VSTOP] == b.c_cc[VSTOP];
}

} // namespace

// XON/XOFF would swallow 0x11 and 0x13 and let one received 0x13 stop all sending; hardware
// flow control and the rest stay.
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

DCB dcbOf(const termios &t)
{
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = termiosfacts::baudOf(cfgetospeed(&t));
    d.fBinary = 1;
    d.fParity = (t.c_iflag & INPCK) != 0;
    d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    d.fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fOutX = (t.c_iflag & IXON) != 0;
    d.fInX = (t.c_iflag & IXOFF) != 0;
    d.ByteSize = static_cast<BYTE>(termiosfacts::dataBitsOf(t.c_cflag));
    switch (termiosfacts::parityOf(t.c_cflag)) {
    case 'O': d.Parity = ODDPARITY; break;
    case 'E': d.Parity = EVENPARITY; break;
    case 'M': d.Parity = MARKPARITY; break;
    case 'S': d.Parity = SPACEPARITY; break;
    default: d.Parity = NOPARITY; break;
    }
    d.StopBits = termiosfacts::stopBitsOf(t.c_cflag) == 1 ? ONESTOPBIT
                 : d.ByteSize == 5                       ? ONE5STOPBITS
                                                         : TWOSTOPBITS;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    d.EofChar = static_cast<char>(t.c_cc[VEOF]);
    return d;
}

bool applyDcb(const DCB &d, termios &t)
{
    const speed_t speed = termiosfacts::speedOf(d.BaudRate);
    tcflag_t csize = 0;
    if (speed == B0 || !termiosfacts::csizeOf(d.ByteSize, csize))
        return false;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag = (t.c_cflag & ~CSIZE) | csize;

    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (d.Parity) {
    case NOPARITY: break;
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: return false;
    }

    if (d.StopBits == ONESTOPBIT)
        t.c_cflag &= ~CSTOPB;
    else if (d.StopBits == TWOSTOPBITS || (d.StopBits == ONE5STOPBITS && d.ByteSize == 5))
        t.c_cflag |= CSTOPB;
    else
        return false;

    // the fields dcbOf reports; unchanged by the caller, they change nothing here
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    t.c_iflag = d.fParity ? (t.c_iflag | INPCK) : (t.c_iflag & ~INPCK);
    t.c_iflag = d.fOutX ? (t.c_iflag | IXON) : (t.c_iflag & ~IXON);
    t.c_iflag = d.fInX ? (t.c_iflag | IXOFF) : (t.c_iflag & ~IXOFF);
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
    return true;
}

} // namespace posixcomm
