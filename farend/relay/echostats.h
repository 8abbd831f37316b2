// What the relay measures of the real chain behind COM3: each reply matched to the tester's
// byte it answers, the round trip of each echo, and what went missing, changed or came extra.
#pragma once

#include "farend/line/wiretiming.h"
#include "farend/report/figures.h"

#include <deque>
#include <string>

constexpr double kGiveUpMs = 1000.0;    // an echo later than this is taken as lost
// Replies are matched among the oldest waiting sends only, fewer than one test cycle (36), so
// that no two of them can be the same character.
constexpr std::size_t kMatchWindow = 35;

// How replies are counted, in the order of arrival:
// - a reply equal to the oldest send still waiting is its echo;
// - a reply equal to a later one among the next kMatchWindow waiting is that one's echo, and
//   the sends before it are lost (no echo came for them);
// - any other reply is a changed echo of the oldest waiting send;
// - a reply while no send waits is extra.
// A send waiting longer than kGiveUpMs is lost; its echo, if it comes after all, is then judged
// against the sends still waiting like any other reply. A new run (the tester opened COM3
// again) counts everything still waiting as lost.
class EchoStats {
public:
    void sent(unsigned char byte, double atMs);
    void replied(unsigned char byte, double atMs);
    // Sends that have waited too long become lost.
    void expire(double nowMs);
    void newRun();

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
    void echo(const Send &s, double atMs);

    std::deque<Send> pending;
    WireTiming rtt, recent;
    EchoCounts counts_;
};
