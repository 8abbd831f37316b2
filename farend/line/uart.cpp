#include "farend/line/uart.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kLongAgo = std::numeric_limits<std::int64_t>::min() / 2;

// The parity bit that goes with these data bits.
bool parityBit(const LineSettings &s, unsigned data)
{
    const bool odd = __builtin_popcount(data) & 1;
    switch (s.parity) {
    case 'E': return odd;
    case 'O': return !odd;
    case 'M': return true;
    default: return false;   // S
    }
}
} // namespace

UartLine::UartLine(const LineSettings &sender, const LineSettings &receiver)
    : tx(sender), rx(receiver), senderBit(2 * static_cast<Units>(receiver.baud)),
      halfBit(static_cast<Units>(sender.baud)),
      frameBits(sender.frameBits()),
      unitsPerMs(2.0 * sender.baud * static_cast<double>(receiver.baud) / 1000.0)
{
    reset();
}

void UartLine::reset()
{
    started = false;
    frames.clear();
    lastEnd = 0;
    huntFrom = kLongAgo;
    pendingStop = -1;
}

UartLine::Units UartLine::toUnits(double ms) const
{
    return std::llround((ms - originMs) * unitsPerMs);
}

double UartLine::toMs(Units u) const
{
    return originMs + static_cast<double>(u) / unitsPerMs;
}

// Bit i of the sender's frame: 0 start, then data LSB first, parity, stop.
bool UartLine::frameBit(unsigned char byte, int i) const
{
    if (i == 0)
        return false;
    if (i <= tx.dataBits)
        return (byte >> (i - 1)) & 1;
    if (i == tx.dataBits + 1 && tx.hasParity())
        return parityBit(tx, byte);
    return true;
}

void UartLine::send(unsigned char byte, double atMs)
{
    if (!started) {
        originMs = atMs;
        started = true;
    }
    const Units start = std::max(toUnits(atMs), lastEnd);
    frames.push_back({start, static_cast<unsigned char>(byte & ((1u << tx.dataBits) - 1))});
    lastEnd = start + frameBits * senderBit;
}

bool UartLine::level(Units at) const
{
    for (const Frame &f : frames) {
        if (at < f.start)
            return true;   // idle before this frame
        if (at < f.start + frameBits * senderBit)
            return frameBit(f.byte, static_cast<int>((at - f.start) / senderBit));
    }
    return true;
}

UartLine::Units UartLine::nextFallingEdge(Units after) const
{
    for (const Frame &f : frames) {
        if (f.start + frameBits * senderBit <= after)
            continue;
        // the level before a frame is always high: idle, or the stop bit of the one before
        if (f.start > after)
            return f.start;
        for (int i = 2; i < frameBits; ++i) {
            const Units edge = f.start + i * senderBit;
            if (edge > after && frameBit(f.byte, i - 1) && !frameBit(f.byte, i))
                return edge;
        }
    }
    return kNever;
}

void UartLine::decode(Units horizon, std::vector<Received> &out)
{
    const int parityBits = rx.hasParity() ? 1 : 0;
    pendingStop = -1;
    for (;;) {
        const Units edge = nextFallingEdge(huntFrom);
        if (edge == kNever)
            return;
        const Units stop = edge + (2 * (rx.dataBits + parityBits) + 3) * halfBit;
        if (edge + halfBit > horizon) {
            pendingStop = stop;
            return;
        }
        if (level(edge + halfBit)) {   // the start bit did not last: not a start
            huntFrom = edge + halfBit;
            continue;
        }
        if (stop > horizon) {
            pendingStop = stop;
            return;
        }
        unsigned byte = 0;
        for (int k = 0; k < rx.dataBits; ++k)
            if (level(edge + (2 * k + 3) * halfBit))
                byte |= 1u << k;
        const bool parityWrong =
            parityBits && level(edge + (2 * rx.dataBits + 3) * halfBit) != parityBit(rx, byte);
        out.push_back({static_cast<unsigned char>(byte), !level(stop), toMs(stop), parityWrong});
        huntFrom = stop;
        while (!frames.empty() && frames.front().start + frameBits * senderBit <= huntFrom)
            frames.pop_front();
    }
}

void UartLine::receive(double nowMs, std::vector<Received> &out)
{
    if (!started)
        return;
    // a byte sent from now on starts no earlier than now: the line is known up to here
    decode(std::max(toUnits(nowMs), lastEnd), out);
}

void UartLine::receiveAll(std::vector<Received> &out)
{
    if (started)
        decode(kNever, out);
}
