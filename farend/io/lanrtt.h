// The LAN's own round trip to a device server: the kernel's estimate for a connected TCP socket
// (TCP_INFO), smoothed as the kernel keeps it and the least it has seen on this connection.
#pragma once

#include <optional>

// The smoothed estimate times a segment to its acknowledgement; where the acknowledgement rides
// on the answer (an echo), it takes in the far end's time too. The minimum is the LAN's own.
struct LanRtt {
    double smoothedMs = 0;   // tcpi_rtt: the kernel's smoothed estimate
    double varianceMs = 0;   // tcpi_rttvar
    double minMs = 0;        // tcpi_min_rtt: the least round trip seen in the last 5 minutes
};

// Nothing when `fd` is not a connected TCP socket or the kernel has no sample yet.
std::optional<LanRtt> readLanRtt(int fd);
