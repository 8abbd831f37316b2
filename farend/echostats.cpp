#include "farend/echostats.h"

#include <algorithm>
#include <cstdio>

void EchoStats::sent(unsigned char byte, double atMs)
{
    pending.push_back({byte, atMs});
}

void EchoStats::echo(const Send &s, double atMs)
{
    const double ms = atMs - s.atMs;
    rtt.add(ms);
    ++echoed_;
    if (ms > kReadWindowMs)
        ++late_;
}

void EchoStats::replied(unsigned char byte, double atMs)
{
    expire(atMs);
    if (pending.empty()) {
        ++extra_;
        return;
    }
    const std::size_t window = std::min(pending.size(), kMatchWindow);
    for (std::size_t i = 0; i < window; ++i) {
        if (pending[i].byte != byte)
            continue;
        lost_ += static_cast<long long>(i);
        echo(pending[i], atMs);
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(i) + 1);
        return;
    }
    ++changed_;
    pending.pop_front();
}

void EchoStats::expire(double nowMs)
{
    while (!pending.empty() && nowMs - pending.front().atMs > kGiveUpMs) {
        ++lost_;
        pending.pop_front();
    }
}

void EchoStats::newRun()
{
    lost_ += static_cast<long long>(pending.size());
    pending.clear();
}

std::string EchoStats::summary() const
{
    char text[320];
    int n = std::snprintf(text, sizeof text, "echoed %lld, lost %lld, changed %lld, extra %lld",
                          echoed_, lost_, changed_, extra_);
    if (!pending.empty())
        n += std::snprintf(text + n, sizeof text - n, ", %zu awaiting", pending.size());
    if (echoed_ > 0)
        std::snprintf(text + n, sizeof text - n,
                      ", round trip median %.3f ms, p99 %.3f ms, max %.3f ms, %lld %s (%.2f%%) "
                      "later than %.0f ms",
                      rtt.medianMs(), rtt.p99Ms(), rtt.maxMs(), late_,
                      late_ == 1 ? "echo" : "echoes", 100.0 * late_ / echoed_, kReadWindowMs);
    return text;
}

std::string EchoStats::reportFields() const
{
    char head[512];
    std::snprintf(head, sizeof head,
                  "  \"echoed\": %lld,\n"
                  "  \"echoes_lost\": %lld,\n"
                  "  \"echoes_changed\": %lld,\n"
                  "  \"extra\": %lld,\n"
                  "  \"awaiting\": %zu,\n"
                  "  \"round_trip_ms\": {\"median\": %.3f, \"p99\": %.3f, \"max\": %.6f},\n"
                  "  \"later_than_5ms\": %lld,\n"
                  "  \"later_than_5ms_share\": %.6f,\n"
                  "  \"round_trip_histogram_ms\": ",
                  echoed_, lost_, changed_, extra_, pending.size(), rtt.medianMs(), rtt.p99Ms(),
                  rtt.maxMs(), late_, echoed_ ? static_cast<double>(late_) / echoed_ : 0.0);
    return head + rtt.histogramJson();
}
