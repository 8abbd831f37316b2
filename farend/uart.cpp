#include "farend/uart.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr std::int64_t kHalfBit = 9600;   // of the receiver, in units
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kLongAgo = std::numeric_limits<std::int64_t>::min() / 2;

// Bit i of a frame: 0 start, 1..8 data LSB first, 9 stop.
bool frameBit(unsigned char byte, int i)
{
    if (i == 0)
        return false;
    if (i == 9)
        return true;
    return (byte >> (i - 1)) & 1;
}
} // namespace

WrongRateUart::WrongRateUart(long rate) : rate(rate), testerBit(2 * static_cast<Units>(rate))
{
    reset();
}

void WrongRateUart::reset()
{
    started = false;
    frames.clear();
    lastEnd = 0;
    huntFrom = kLongAgo;
    pendingStop = -1;
}

// 19200 * rate units a second
WrongRateUart::Units WrongRateUart::toUnits(double ms) const
{
    return std::llround((ms - originMs) * 19.2 * static_cast<double>(rate));
}

double WrongRateUart::toMs(Units u) const
{
    return originMs + static_cast<double>(u) / (19.2 * static_cast<double>(rate));
}

void WrongRateUart::send(unsigned char byte, double atMs)
{
    if (!started) {
        originMs = atMs;
        started = true;
    }
    const Units start = std::max(toUnits(atMs), lastEnd);
    frames.push_back({start, byte});
    lastEnd = start + 10 * testerBit;
}

bool WrongRateUart::level(Units at) const
{
    for (const Frame &f : frames) {
        if (at < f.start)
            return true;   // idle before this frame
        if (at < f.start + 10 * testerBit)
            return frameBit(f.byte, static_cast<int>((at - f.start) / testerBit));
    }
    return true;
}

WrongRateUart::Units WrongRateUart::nextFallingEdge(Units after) const
{
    for (const Frame &f : frames) {
        if (f.start + 10 * testerBit <= after)
            continue;
        // the level before a frame is always high: idle, or the stop bit of the one before
        if (f.start > after)
            return f.start;
        for (int i = 2; i <= 8; ++i) {
            const Units edge = f.start + i * testerBit;
            if (edge > after && frameBit(f.byte, i - 1) && !frameBit(f.byte, i))
                return edge;
        }
    }
    return kNever;
}

void WrongRateUart::decode(Units horizon, std::vector<Received> &out)
{
    pendingStop = -1;
    for (;;) {
        const Units edge = nextFallingEdge(huntFrom);
        if (edge == kNever)
            return;
        const Units stop = edge + 19 * kHalfBit;
        if (edge + kHalfBit > horizon) {
            pendingStop = stop;
            return;
        }
        if (level(edge + kHalfBit)) {   // the start bit did not last: not a start
            huntFrom = edge + kHalfBit;
            continue;
        }
        if (stop > horizon) {
            pendingStop = stop;
            return;
        }
        unsigned char byte = 0;
        for (int k = 0; k < 8; ++k)
            if (level(edge + (2 * k + 3) * kHalfBit))
                byte |= static_cast<unsigned char>(1u << k);
        out.push_back({byte, !level(stop), toMs(stop)});
        huntFrom = stop;
        while (!frames.empty() && frames.front().start + 10 * testerBit <= huntFrom)
            frames.pop_front();
    }
}

void WrongRateUart::receive(double nowMs, std::vector<Received> &out)
{
    if (!started)
        return;
    // a byte sent from now on starts no earlier than now: the line is known up to here
    decode(std::max(toUnits(nowMs), lastEnd), out);
}

void WrongRateUart::receiveAll(std::vector<Received> &out)
{
    if (started)
        decode(kNever, out);
}
