// What became of the tester's bytes, and how long their echoes took, over a span of a run.
#pragma once

#include <optional>

// What happened to the tester's bytes, since the start or within an interval.
struct EchoCounts {
    long long sends = 0, echoed = 0, lost = 0, changed = 0, extra = 0, late = 0;
    // Echoes, changed or not, that came one LAN round trip after a later send (within the
    // release slack): a device server let them go only when that send's acknowledgement
    // reached it, or chance put them there.
    long long released = 0;
    // Reads of the target that brought replies, and the replies they brought.
    long long reads = 0, replies = 0;
    // Echoes, changed or not, that came later after a later send than the release slack: how
    // often chance alone puts a reply at a given time after a send.
    long long afterALaterSend = 0;
    // Echoes that waited behind a segment the kernel sent again or received out of order.
    long long behindLoss = 0;
    // Of the released and the later, those behind such a segment: a retransmission lets them go
    // with a later send's segment, as a device server holding them would.
    long long releasedBehindLoss = 0, afterBehindLoss = 0;
    EchoCounts operator-(const EchoCounts &o) const
    {
        return {sends - o.sends,
                echoed - o.echoed,
                lost - o.lost,
                changed - o.changed,
                extra - o.extra,
                late - o.late,
                released - o.released,
                reads - o.reads,
                replies - o.replies,
                afterALaterSend - o.afterALaterSend,
                behindLoss - o.behindLoss,
                releasedBehindLoss - o.releasedBehindLoss,
                afterBehindLoss - o.afterBehindLoss};
    }
    // Nothing lost, changed or extra.
    bool clean() const { return lost == 0 && changed == 0 && extra == 0; }
};

// A span's round trips: how many, and where they lie (each 0 without one).
struct RoundTripFigures {
    long long count = 0;
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    // The median of the echoes no retransmission held up, and what an echo takes when nothing
    // holds it: the lower quartile of those of them no later send released, or of those that
    // came before any later send could have, if lower; none without such.
    std::optional<double> clearOfLossP50Ms, unheldP25Ms;
};
