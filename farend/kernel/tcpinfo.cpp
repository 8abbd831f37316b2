#include "farend/kernel/tcpinfo.h"

#include <linux/tcp.h>   // glibc's tcp_info stops before tcpi_min_rtt
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace {
// The kernel fills as much of tcp_info as it knows: min_rtt came with Linux 4.9, rcv_ooopack
// with 5.4.
constexpr std::size_t kWithMinRtt = offsetof(tcp_info, tcpi_min_rtt) + sizeof(__u32);
constexpr std::size_t kWithOutOfOrder = offsetof(tcp_info, tcpi_rcv_ooopack) + sizeof(__u32);
} // namespace

std::optional<TcpInfo> readTcpInfo(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        info.tcpi_state != 1 /* TCP_ESTABLISHED */)
        return std::nullopt;
    TcpInfo out;
    if (size >= kWithMinRtt && info.tcpi_rtt != 0) {   // 0: no sample yet
        const double minMs = info.tcpi_min_rtt == ~0u ? info.tcpi_rtt / 1000.0
                                                      : info.tcpi_min_rtt / 1000.0;
        out.rtt = LanRtt{info.tcpi_rtt / 1000.0, info.tcpi_rttvar / 1000.0, minMs};
    }
    if (size >= kWithOutOfOrder)
        out.counts = TcpCounts{info.tcpi_total_retrans, info.tcpi_rcv_ooopack,
                               static_cast<long long>(info.tcpi_bytes_received),
                               info.tcpi_data_segs_in};
    return out;
}

std::optional<LanRtt> readLanRtt(int fd)
{
    const std::optional<TcpInfo> info = readTcpInfo(fd);
    return info ? info->rtt : std::nullopt;
}
