#include "serial/termiosfacts.h"

namespace termiosfacts {

namespace {
struct Speed {
    std::uint32_t baud;
    speed_t code;
};
const Speed speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};
const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
} // namespace

std::uint32_t baudOf(speed_t code)
{
    for (const Speed &s : speeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

speed_t speedOf(std::uint32_t baud)
{
    for (const Speed &s : speeds)
        if (s.baud == baud)
            return s.code;
    return B0;
}

int dataBitsOf(tcflag_t cflag)
{
    for (int i = 0; i < 4; ++i)
        if ((cflag & CSIZE) == sizes[i])
            return 5 + i;
    return 8;
}

bool csizeOf(int dataBits, tcflag_t &csize)
{
    if (dataBits < 5 || dataBits > 8)
        return false;
    csize = sizes[dataBits - 5];
    return true;
}

char parityOf(tcflag_t cflag)
{
    if (!(cflag & PARENB))
        return 'N';
    if (cflag & CMSPAR)   // "stick" parity: PARODD says which level it sticks to
        return (cflag & PARODD) ? 'M' : 'S';
    return (cflag & PARODD) ? 'O' : 'E';
}

int stopBitsOf(tcflag_t cflag)
{
    return (cflag & CSTOPB) ? 2 : 1;
}

} // namespace termiosfacts
