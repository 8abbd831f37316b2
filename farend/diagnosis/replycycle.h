// Whether the replies to the test cycle repeat from cycle to cycle, read from the bytes alone (no
// timing, so that a device server holding echoes back does not blur it): the chain gives back
// what was sent (clean), a fixed mapping of it (systematic), or something that does not repeat
// (noise, random loss). One pass over the window.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ReplyCycle {
    enum class Kind {
        TooFew,          // fewer than two cycles sent, or too few replies to compare
        Clean,           // the replies repeat, and one cycle of them is the cycle sent
        Systematic,      // the replies repeat, and are not the cycle sent
        NotSystematic,   // the replies do not repeat
    };
    Kind kind = Kind::TooFew;
    // One cycle's worth of replies as they repeat, each byte the commonest of the cycles around
    // it; starts anywhere in the cycle.
    std::string image;
    // Share of the reply bytes equal to their partner one cycle's worth of replies on, the
    // stream aligned with itself so that a reply lost or added shifts nothing after it.
    double stable = 0;
    std::size_t sends = 0, replies = 0;
    double perCycle = 0;   // replies for each cycle sent

    bool repeats() const { return kind == Kind::Clean || kind == Kind::Systematic; }
};

// The share of repeating bytes from which replies are taken to repeat: random corruption of a
// third of the echoes repeats about half of them, a mapping with its jitter nearly all.
constexpr double kRepeats = 0.8;

// What `replies` (in order, every one that came after the first of `sends` bytes of the test
// cycle, sent in order) make of the cycle.
ReplyCycle readReplyCycle(const std::vector<unsigned char> &replies, std::size_t sends);

// The share of `replies` that are echoes of the cycle in order, a few lost between them allowed.
double echoShare(const std::vector<unsigned char> &replies);
// Whether the `replies` that are not such echoes, two or more, crowd their end as chance spreads
// them less than once in a hundred: the replies changed there, not at random; or one alone is
// among the newest two, which cannot tell a change from noise yet.
bool changedAtTheEnd(const std::vector<unsigned char> &replies);

// The least rotation of a cycle's image: one key for the same cycle read from any start.
std::string canonicalCycle(const std::string &image);
// How many bytes two cycle images differ in at their best rotation; images of different lengths
// differ in every byte of the longer.
std::size_t cycleDistance(const std::string &a, const std::string &b);
