#include "farend/relay/echostats.h"

#include "farend/line/tester.h"

#include <algorithm>

void EchoStats::sent(unsigned char byte, double atMs)
{
    pending.push_back({byte, atMs});
    ++counts_.sends;
}

void EchoStats::echo(const Send &s, double atMs)
{
    const double ms = atMs - s.atMs;
    rtt.add(ms);
    recent.add(ms);
    ++counts_.echoed;
    if (ms > kReadWindowMs)
        ++counts_.late;
}

void EchoStats::replied(unsigned char byte, double atMs)
{
    expire(atMs);
    if (pending.empty()) {
        ++counts_.extra;
        return;
    }
    const std::size_t window = std::min(pending.size(), kMatchWindow);
    for (std::size_t i = 0; i < window; ++i) {
        if (pending[i].byte != byte)
            continue;
        counts_.lost += static_cast<long long>(i);
        echo(pending[i], atMs);
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(i) + 1);
        return;
    }
    ++counts_.changed;
    pending.pop_front();
}

void EchoStats::expire(double nowMs)
{
    while (!pending.empty() && nowMs - pending.front().atMs > kGiveUpMs) {
        ++counts_.lost;
        pending.pop_front();
    }
}

void EchoStats::newRun()
{
    counts_.lost += static_cast<long long>(pending.size());
    pending.clear();
}

