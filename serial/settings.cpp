// The terminal settings: termios as a Win32 DCB and back, the pass-through line discipline,
// and setting them with a read-back.
#include "serial/commapi_posix.h"

#include <cerrno>

namespace posixcomm {

namespace {

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
    return d;
}

bool applyDcb(const DCB &d, termios &t)
{
    const Speed *speed = nullptr;
    for (const Speed &s : speeds)
        if (s.baud == d.BaudRate)
            speed = &s;
    if (!speed)
        return false;
    cfsetispeed(&t, speed->code);
    cfsetospeed(&t, speed->code);

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (d.ByteSize < 5 || d.ByteSize > 8)
        return false;
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[d.ByteSize - 5];

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
