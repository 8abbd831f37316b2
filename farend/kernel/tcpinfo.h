// The LAN between the relay and a device server as the kernel sees the connection (TCP_INFO):
// its round trip, smoothed as the kernel keeps it and the least it has seen, and what the
// kernel counted of segments sent again, received out of order and received at all.
#pragma once

#include <optional>

// The smoothed estimate times a segment to its acknowledgement; where the acknowledgement rides
// on the answer (an echo), it takes in the far end's time too. The minimum is the LAN's own.
struct LanRtt {
    double smoothedMs = 0;   // tcpi_rtt: the kernel's smoothed estimate
    double varianceMs = 0;   // tcpi_rttvar
    double minMs = 0;        // tcpi_min_rtt: the least round trip seen in the last 5 minutes
};

// Counts since the connection was made. A segment lost on the way to the device server is
// sent again by this side; one lost on the way back is sent again by the server, and this side
// sees the segments after it come out of order first.
struct TcpCounts {
    long long retransmitted = 0;   // tcpi_total_retrans
    long long outOfOrder = 0;      // tcpi_rcv_ooopack
    long long bytesIn = 0;         // tcpi_bytes_received
    long long segmentsIn = 0;      // tcpi_data_segs_in: segments that carried data
    TcpCounts operator-(const TcpCounts &o) const
    {
        return {retransmitted - o.retransmitted, outOfOrder - o.outOfOrder, bytesIn - o.bytesIn,
                segmentsIn - o.segmentsIn};
    }
};

struct TcpInfo {
    std::optional<LanRtt> rtt;          // nothing before the kernel has a sample
    std::optional<TcpCounts> counts;    // nothing on a kernel older than Linux 5.4
};

// Nothing when `fd` is not a connected TCP socket.
std::optional<TcpInfo> readTcpInfo(int fd);
// The round trip alone: nothing when `fd` is not a connected TCP socket or there is no sample.
std::optional<LanRtt> readLanRtt(int fd);
