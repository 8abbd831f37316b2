// What the relay measures of the real chain behind COM3: each reply matched to the tester's
// byte it answers, the round trip of each echo, and what went missing, changed or came extra.
#pragma once

#include "farend/figures/echoes.h"
#include "farend/line/wiretiming.h"

#include <array>
#include <deque>
#include <optional>
#include <string>

constexpr double kGiveUpMs = 1000.0;    // an echo later than this is taken as lost
// Replies are matched among the oldest waiting sends only, fewer than one test cycle (36), so
// that no two of them can be the same character.
constexpr std::size_t kMatchWindow = 35;
// A reply that may answer a later send waits this long at most for the next reply to decide.
constexpr double kWitnessWaitMs = 100.0;

// How replies are counted, in the order of arrival:
// - a reply equal to the oldest send still waiting is its echo;
// - one equal to a later send among the next kMatchWindow waiting, sent long enough ago to be
//   answered (the floor: half the recent round trips' low end less their spread), is either that
//   send's echo with the sends before it lost, or a changed echo of the oldest; the next reply
//   decides: the echo of the send after the oldest says changed, that of the send after the
//   later one says lost; else lost when the oldest has waited longer than any recent echo
//   took, or when losses are likelier than changed echoes at this run's rates so far;
// - any other reply is a changed echo of the oldest waiting send, unless that was sent less
//   than the floor ago, or the replies keep equalling the send decided as many sends before
//   the oldest (three in a row): then it answers none still waiting and is extra;
// - a reply while no send waits is extra.
// So a device server that holds each echo until the next send (Nagle's algorithm) does not put
// the count out of step when a changed echo equals that send, and a count out of step gets back.
// A send waiting longer than kGiveUpMs is lost; its echo, if it comes after all, is then judged
// against the sends still waiting like any other reply. A new run (the tester opened COM3
// again) counts everything still waiting as lost.
class EchoStats {
public:
    void sent(unsigned char byte, double atMs);
    void replied(unsigned char byte, double atMs);
    // Sends that have waited too long become lost; a reply waiting for the next one too long is
    // decided without it.
    void expire(double nowMs);
    // Decides what still waits on the next reply (the run ends).
    void settle();
    void newRun();
    // The LAN's least round trip, for the echoes released by a later send (0: none known).
    void setLanMs(double ms) { lanMs = ms; }
    // A read of the target brought `n` replies (or nothing).
    void read(std::size_t n)
    {
        counts_.reads += n > 0;
        counts_.replies += static_cast<long long>(n);
    }

    const EchoCounts &counts() const { return counts_; }
    long long echoed() const { return counts_.echoed; }
    long long lost() const { return counts_.lost; }
    long long changed() const { return counts_.changed; }
    long long extra() const { return counts_.extra; }
    long long late() const { return counts_.late; }
    long long waiting() const { return static_cast<long long>(pending.size()); }
    const WireTiming &roundTrip() const { return rtt; }
    // The round trips since the last clearRecent(), for an interval's figures.
    const WireTiming &recentRoundTrip() const { return recent; }
    void clearRecent() { recent.clear(); }

private:
    struct Send {
        unsigned char byte;
        double atMs;
    };
    // A reply that answers the send at `index` or is a changed echo of the oldest.
    struct Undecided {
        unsigned char byte;
        double atMs;
        std::size_t index;
    };
    void take(unsigned char byte, double atMs);
    // Takes the oldest `n` sends off the waiting.
    void pop(std::size_t n);
    void decide(std::optional<unsigned char> next);
    void echo(const Send &s, double atMs);
    bool releasedByALaterSend(const Send &s, double atMs) const;
    double floorMs() const;
    double longestMs() const;

    std::deque<Send> pending;
    std::optional<Undecided> undecided;
    std::array<double, 16> inOrderMs{};   // the last in-order echoes' round trips
    std::size_t inOrderCount = 0;
    int youngInARow = 0, behindInARow = 0;
    std::size_t behindLag = 0;   // how many sends back the last reply matched a decided one
    std::array<unsigned char, 4> decidedBytes{};   // the last sends taken off the waiting
    std::size_t decidedCount = 0;
    std::array<double, 64> sendTimes{};   // the last sends' times, oldest overwritten
    std::size_t sendCount = 0;
    double lanMs = 0;
    WireTiming rtt, recent;
    EchoCounts counts_;
};
