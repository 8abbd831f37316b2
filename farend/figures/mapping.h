// A fixed mapping of the test cycle recognised in a chain's replies: the settings that explain
// it, where in the chain, or none; and what it does to the replies.
#pragma once

#include "farend/line/linesettings.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Where the chain disagrees with the tester, in the order the verdicts name them.
enum class Place {
    FarDevice,    // the device server's port at the tester's settings, the far device at others
    ServerPort,   // the device server's port at other settings, the far device at the tester's
    FarEnd,       // the far end reads the tester's line at other settings and answers as bytes
};

// A setting that explains the replies: a place, a rate (a standard one, or an estimate over the
// span of rates that give the same replies) and the frame formats that do at that rate.
struct NamedSetting {
    Place where = Place::FarDevice;
    bool estimate = false;
    std::uint32_t rate = 0;          // the standard rate, or the estimate's round figure
    std::uint32_t low = 0, high = 0; // the span (an estimate's)
    std::vector<LineSettings> formats;   // baud 0, the commonest first
    // A device server's port named although the server said it is at the tester's settings.
    bool againstReport = false;
};

struct RecognisedMapping {
    LineSettings tester;
    // The settings that explain the replies, the likeliest first; none: a fixed mapping that no
    // speed or format explains.
    std::vector<NamedSetting> named;
    std::size_t moreSettings = 0;   // further settings that explain them, not named
    double stable = 0;                 // share of reply bytes repeating from cycle to cycle
    std::size_t repliesPerCycle = 0;
    // What the first setting makes the device server's UART report over a cycle.
    long long framingPerCycle = 0, parityPerCycle = 0;

    bool explained() const { return !named.empty(); }
    bool wrongSpeed() const;
    bool wrongFormat() const;
    // "wrong-speed", "wrong-format", "wrong-speed-and-format", or "systematic" when unexplained.
    std::string code() const;
    // A port is named against what its device server reported.
    bool portAgainstReport() const;
    // A far end reading at other settings is named, which answers at the tester's.
    bool readsAsBytes() const;
    // Whether the mapping itself loses replies (fewer a cycle than sent) or adds them (more).
    bool losesReplies() const;
    bool addsReplies() const;
};
