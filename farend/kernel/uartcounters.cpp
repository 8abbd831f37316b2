#include "farend/kernel/uartcounters.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

LineErrorCounts readUartCounters(int fd)
{
    serial_icounter_struct c{};
    if (ioctl(fd, TIOCGICOUNT, &c) != 0)
        return {};
    return {c.frame, c.parity, c.overrun, c.brk, c.buf_overrun, c.rx, c.tx};
}
