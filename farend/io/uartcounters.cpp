#include "farend/io/uartcounters.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

UartCounters UartCounters::since(const UartCounters &e) const
{
    return {frame - e.frame, parity - e.parity, overrun - e.overrun, brk - e.brk,
            bufOverrun - e.bufOverrun, rx - e.rx, tx - e.tx};
}

std::optional<UartCounters> readUartCounters(int fd)
{
    serial_icounter_struct c{};
    if (ioctl(fd, TIOCGICOUNT, &c) != 0)
        return std::nullopt;
    return UartCounters{c.frame, c.parity, c.overrun, c.brk, c.buf_overrun, c.rx, c.tx};
}
