#include "farend/relay/echostats.h"

#include "farend/diagnosis/lanrules.h"
#include "farend/line/tester.h"

#include <algorithm>
#include <cmath>

namespace {
// Longer than the longest recent round trip by this share, and at least kOverdueMs: lost
constexpr double kOverdueShare = 0.1, kOverdueMs = 1.0;
constexpr std::size_t kFloorFrom = 8;   // in-order echoes before their round trips are a floor
constexpr int kOutOfStep = 3;   // replies in a row that equal a send younger than the floor
constexpr int kBehind = 3;      // replies in a row that equal a send decided already
} // namespace

void EchoStats::sent(unsigned char byte, double atMs)
{
    pending.push_back({byte, atMs});
    sendTimes[sendCount++ % sendTimes.size()] = atMs;
    ++counts_.sends;
}

double EchoStats::floorMs() const
{
    // half the recent round trips' low end less their spread: a chain that varies little rules
    // out a send answered well before its time, one that varies much little; half, since a
    // device server that holds echoes for the next send follows the tester's own jitter. The
    // second least and most: an echo matched by chance while out of step is not the chain's.
    std::array<double, 16> sorted = inOrderMs;
    const std::size_t n = std::min(inOrderCount, sorted.size());
    if (n < kFloorFrom)
        return 0;
    std::sort(sorted.begin(), sorted.begin() + static_cast<long>(n));
    const double low = sorted[1], high = sorted[n - 2];
    return std::max(0.0, 0.5 * (low - (high - low)));
}

double EchoStats::longestMs() const
{
    const auto end = inOrderMs.begin() + std::min(inOrderCount, inOrderMs.size());
    return inOrderCount ? *std::max_element(inOrderMs.begin(), end) : 0;
}

bool EchoStats::releasedByALaterSend(const Send &s, double atMs) const
{
    const double slack = releaseSlackMs(lanMs);
    const std::size_t kept = std::min(sendCount, sendTimes.size());
    for (std::size_t back = 1; back <= kept; ++back) {
        const double sentAt = sendTimes[(sendCount - back) % sendTimes.size()];
        const double after = atMs - sentAt;
        if (sentAt <= s.atMs || after > lanMs + slack)
            return false;
        if (after >= lanMs - kReleaseEarlyMs)
            return true;
    }
    return false;
}

void EchoStats::echo(const Send &s, double atMs)
{
    const double ms = atMs - s.atMs;
    rtt.add(ms);
    recent.add(ms);
    ++counts_.echoed;
    if (ms > kReadWindowMs)
        ++counts_.late;
    if (releasedByALaterSend(s, atMs))
        ++counts_.released;
}

void EchoStats::replied(unsigned char byte, double atMs)
{
    if (undecided)
        decide(byte);
    expire(atMs);
    take(byte, atMs);
}

void EchoStats::take(unsigned char byte, double atMs)
{
    if (pending.empty()) {
        ++counts_.extra;
        return;
    }
    if (pending.front().byte == byte) {
        const Send s = pending.front();
        pop(1);
        echo(s, atMs);
        inOrderMs[inOrderCount++ % inOrderMs.size()] = atMs - s.atMs;
        youngInARow = behindInARow = 0;
        return;
    }
    const double floor = floorMs();
    const std::size_t window = std::min(pending.size(), kMatchWindow);
    bool tooYoung = false;
    for (std::size_t i = 1; i < window; ++i) {
        if (pending[i].byte != byte)
            continue;
        if (atMs - pending[i].atMs >= floor) {
            undecided = Undecided{byte, atMs, i};
            return;
        }
        tooYoung = true;
    }
    // replies that keep equalling sends the floor calls too young: the floor is wrong, learnt
    // while out of step; it is learnt again
    youngInARow = tooYoung ? youngInARow + 1 : 0;
    if (youngInARow >= kOutOfStep) {
        inOrderCount = 0;
        youngInARow = 0;
        take(byte, atMs);
        return;
    }
    // replies that keep equalling the send decided the same number of sends before the oldest
    // waiting answer those: the count is behind by that many
    std::size_t lag = 0;
    for (std::size_t back = 1; lag == 0 && back <= std::min(decidedCount, decidedBytes.size());
         ++back)
        lag = decidedBytes[(decidedCount - back) % decidedBytes.size()] == byte ? back : 0;
    behindInARow = lag && lag == behindLag ? behindInARow + 1 : lag ? 1 : 0;
    behindLag = lag;
    if (behindInARow >= kBehind || atMs - pending.front().atMs < floor) {
        behindInARow = 0;
        ++counts_.extra;   // it answers no send still waiting
        return;
    }
    ++counts_.changed;
    pop(1);
}

void EchoStats::pop(std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        decidedBytes[decidedCount++ % decidedBytes.size()] = pending.front().byte;
        pending.pop_front();
    }
}

void EchoStats::decide(std::optional<unsigned char> next)
{
    const Undecided u = *undecided;
    undecided.reset();
    if (next && *next == pending.front().byte) {   // the oldest's own echo follows
        ++counts_.extra;
        return;
    }
    // The likelier reading: a changed echo of the oldest when the next reply is the echo of the
    // send after it; losses when the next is the echo of the send after the later one, or when
    // the oldest has waited longer than any recent echo took; else the one whose surprises
    // (losses, changed echoes) are likelier at the rates this run has shown so far, losses when
    // both are: a changed echo that equals a later send is the rarer chance.
    std::size_t j = 0;   // the waiting send the next reply equals; 0: none
    const std::size_t window = std::min(pending.size(), kMatchWindow);
    for (std::size_t k = 1; next && j == 0 && k < window; ++k)
        j = pending[k].byte == *next ? k : 0;
    const std::size_t i = u.index;
    const double longest = longestMs();
    const bool overdue = inOrderCount && u.atMs - pending.front().atMs >
                                             longest + std::max(kOverdueMs, kOverdueShare * longest);
    const double sends = static_cast<double>(counts_.sends) + 2;
    const double aLoss = -std::log((static_cast<double>(counts_.lost) + 1) / sends);
    const double aChange = -std::log((static_cast<double>(counts_.changed) + 1) / sends);
    const double ifLost = static_cast<double>(i) * aLoss +
                          (j > i ? static_cast<double>(j - i - 1) * aLoss : aChange);
    const double ifChanged =
        aChange + (j > 1 ? std::min(static_cast<double>(j - 1) * aLoss, aChange) : aChange);
    const bool lost = j != 1 && (j == i + 1 || overdue || ifLost <= ifChanged);
    if (!lost) {
        ++counts_.changed;
        pop(1);
        return;
    }
    counts_.lost += static_cast<long long>(i);
    echo(pending[i], u.atMs);
    pop(i + 1);
}

void EchoStats::expire(double nowMs)
{
    if (undecided && (nowMs - undecided->atMs > kWitnessWaitMs ||
                      nowMs - pending.front().atMs > kGiveUpMs))
        decide(std::nullopt);
    while (!pending.empty() && nowMs - pending.front().atMs > kGiveUpMs) {
        ++counts_.lost;
        pending.pop_front();
    }
}

void EchoStats::settle()
{
    if (undecided)
        decide(std::nullopt);
}

void EchoStats::newRun()
{
    settle();
    counts_.lost += static_cast<long long>(pending.size());
    pending.clear();
}
