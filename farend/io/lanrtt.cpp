#include "farend/io/lanrtt.h"

#include <linux/tcp.h>   // glibc's tcp_info stops before tcpi_min_rtt
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

std::optional<LanRtt> readLanRtt(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return std::nullopt;
    // the kernel fills as much as it knows; min_rtt came late (Linux 4.9), and 0 means no sample
    if (size < offsetof(tcp_info, tcpi_min_rtt) + sizeof info.tcpi_min_rtt ||
        info.tcpi_state != 1 /* TCP_ESTABLISHED */ || info.tcpi_rtt == 0)
        return std::nullopt;
    const double minMs = info.tcpi_min_rtt == ~0u ? info.tcpi_rtt / 1000.0
                                                  : info.tcpi_min_rtt / 1000.0;
    return LanRtt{info.tcpi_rtt / 1000.0, info.tcpi_rttvar / 1000.0, minMs};
}
