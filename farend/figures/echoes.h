// What became of the tester's bytes, and how long their echoes took, over a span of a run.
#pragma once

// What happened to the tester's bytes, since the start or within an interval.
struct EchoCounts {
    long long sends = 0, echoed = 0, lost = 0, changed = 0, extra = 0, late = 0;
    // Echoes that came one LAN round trip after a later send: a device server let them go
    // only when that send's acknowledgement reached it.
    long long released = 0;
    // Reads of the target that brought replies, and the replies they brought.
    long long reads = 0, replies = 0;
    EchoCounts operator-(const EchoCounts &o) const
    {
        return {sends - o.sends,       echoed - o.echoed,   lost - o.lost,
                changed - o.changed,   extra - o.extra,     late - o.late,
                released - o.released, reads - o.reads,    replies - o.replies};
    }
    // Nothing lost, changed or extra.
    bool clean() const { return lost == 0 && changed == 0 && extra == 0; }
};

// A span's round trips: how many, and where they lie (each 0 without one).
struct RoundTripFigures {
    long long count = 0;
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
};
