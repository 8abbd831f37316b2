#include "farend/link.h"

#include <algorithm>
#include <cstdio>

namespace {
unsigned char cycleByte(long long index)
{
    const long long k = index % 36;
    return static_cast<unsigned char>(k < 10 ? '0' + k : 'A' + (k - 10));
}
} // namespace

Link::Link(const LinkOptions &options) : opt(options), rng(options.seed ? options.seed : 1) {}

// xorshift32: reproducible from --seed, good enough to pick which replies go wrong
bool Link::chance(double percent)
{
    if (percent <= 0)
        return false;
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return (rng % 1000000) < percent * 10000.0;
}

void Link::received(unsigned char byte, double nowMs)
{
    if (firstMismatch < 0 && byte != cycleByte(received_))
        firstMismatch = received_;
    ++received_;
    if (firstAtMs < 0)
        firstAtMs = nowMs;
    lastAtMs = nowMs;
    if (hangupAt >= 0)
        return;   // the line is being cut: no more answers

    double atDevice = nowMs;
    if (opt.paced) {
        atDevice = std::max(nowMs, outboundFreeMs) + kByteTimeMs;
        outboundFreeMs = atDevice;
    }
    double due = atDevice + opt.latencyMs;
    const bool answered = !opt.silent && !chance(opt.dropPercent);
    if (answered) {
        unsigned char reply = byte;
        if (chance(opt.corruptPercent))
            reply ^= static_cast<unsigned char>(1u << (rng % 8));
        if (opt.paced) {
            due = std::max(due, inboundFreeMs) + kByteTimeMs;
            inboundFreeMs = due;
        }
        pending.push_back({due, reply});
    }
    if (opt.hangupAfter >= 0 && received_ >= opt.hangupAfter)
        hangupAt = due + kHangupGraceMs;
}

std::string Link::takeDue(double nowMs)
{
    std::string out;
    while (!pending.empty() && pending.front().dueMs <= nowMs) {
        out.push_back(static_cast<char>(pending.front().byte));
        pending.pop_front();
    }
    sent_ += static_cast<long long>(out.size());
    return out;
}

double Link::nextDueMs() const
{
    double next = pending.empty() ? -1 : pending.front().dueMs;
    if (hangupAt >= 0 && (next < 0 || hangupAt < next))
        next = hangupAt;
    return next;
}

std::string Link::summary() const
{
    const double span = received_ > 1 ? (lastAtMs - firstAtMs) / 1000.0 : 0.0;
    char line[200];
    int n = std::snprintf(line, sizeof line,
                          "farend: received %lld bytes, sent %lld bytes, first to last %.3f s, ",
                          received_, sent_, span);
    if (received_ == 0)
        std::snprintf(line + n, sizeof line - n, "nothing arrived");
    else if (exactCycle())
        std::snprintf(line + n, sizeof line - n, "test cycle exact");
    else
        std::snprintf(line + n, sizeof line - n, "test cycle broken at byte %lld",
                      firstMismatch + 1);
    return line;
}
