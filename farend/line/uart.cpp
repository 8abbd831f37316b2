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

UartLine::UartLine(const LineSettings &sender, const LineSettings &receiver, double detectShare)
{
    retune(sender, receiver, detectShare);
}

void UartLine::retune(const LineSettings &sender, const LineSettings &receiver,
                      double detectShare)
{
    tx = sender;
    rx = receiver;
    senderBit = 2 * static_cast<Units>(receiver.baud);
    halfBit = static_cast<Units>(sender.baud);
    detect = ofBit(detectShare);
    frameBits = sender.frameBits();
    perSenderBit = 1.0 / double(senderBit);
    unitsPerMs = 2.0 * sender.baud * static_cast<double>(receiver.baud) / 1000.0;
    reset();
}

void UartLine::reset()
{
    started = false;
    frames.clear();
    lastEnd = 0;
    huntFrom = kLongAgo;
    pendingStop = -1;
    queued_ = 0;
    lastSample = kLongAgo;
    nearestAhead = kNever;
}

UartLine::Units UartLine::ofBit(double share) const
{
    return std::llround(share * 2.0 * double(halfBit));
}

bool UartLine::phaseMatters(double detectShare) const
{
    return nearestAhead <= ofBit(detectShare);
}

UartLine::Units UartLine::toUnits(double ms) const
{
    return std::llround((ms - originMs) * unitsPerMs);
}

double UartLine::toMs(Units u) const
{
    return originMs + static_cast<double>(u) / unitsPerMs;
}

void UartLine::send(unsigned char byte, double atMs)
{
    const bool first = !started;
    if (first) {
        originMs = atMs;
        started = true;
    }
    const Units at = toUnits(atMs);
    const Units start = std::max(at, lastEnd);
    nearestAhead = std::min(nearestAhead, start - std::min(start, lastSample));
    queued_ += !first && at < lastEnd + senderBit;
    const unsigned char sent = static_cast<unsigned char>(byte & ((1u << tx.dataBits) - 1));
    // start low, data, parity, then high to the end
    std::uint32_t levels = std::uint32_t(sent) << 1;
    if (tx.hasParity())
        levels |= std::uint32_t(parityBit(tx, sent)) << (tx.dataBits + 1);
    levels |= ((1u << frameBits) - 1) & ~((1u << (tx.dataBits + (tx.hasParity() ? 2 : 1))) - 1);
    lastEnd = start + frameBits * senderBit;
    frames.push_back({start, lastEnd, levels});
}

// (into / senderBit) without a division, the model's hottest spot: the guess is off by one at
// most, and corrected exactly.
int UartLine::bitAt(Units into) const
{
    Units bit = static_cast<Units>(static_cast<double>(into) * perSenderBit);
    if (bit * senderBit > into)
        --bit;
    else if ((bit + 1) * senderBit <= into)
        ++bit;
    return static_cast<int>(bit);
}

bool UartLine::sample(Units at)
{
    lastSample = at;
    for (const Frame &f : frames) {
        if (at < f.start) {
            nearestAhead = std::min(nearestAhead, f.start - at);
            return true;   // idle before this frame
        }
        if (at < f.end) {
            const int bit = bitAt(at - f.start);
            nearestAhead = std::min(nearestAhead, f.start + (bit + 1) * senderBit - at);
            return (f.levels >> bit) & 1;
        }
    }
    return true;   // idle after them: a frame sent later is measured from here as it comes
}

UartLine::Units UartLine::nextFallingEdge(Units after) const
{
    for (const Frame &f : frames) {
        if (f.end <= after)
            continue;
        // the level before a frame is always high: idle, or the stop bit of the one before
        if (f.start > after)
            return f.start;
        // bit i falls when bit i - 1 was high; only bits beginning after `after` count
        const int from = bitAt(after - f.start) + 1;
        const std::uint32_t falls = (f.levels << 1) & ~f.levels & ((1u << frameBits) - 1);
        if (from < frameBits && (falls >> from))
            return f.start + (from + __builtin_ctz(falls >> from)) * senderBit;
    }
    return kNever;
}

void UartLine::decode(Units horizon, std::vector<Received> &out)
{
    const int parityBits = rx.hasParity() ? 1 : 0;
    pendingStop = -1;
    for (;;) {
        Units edge = nextFallingEdge(huntFrom);
        if (edge == kNever)
            return;
        edge += detect;   // where the receiver's bit times start
        const Units stop = edge + (2 * (rx.dataBits + parityBits) + 3) * halfBit;
        if (edge + halfBit > horizon) {
            pendingStop = stop;
            return;
        }
        if (sample(edge + halfBit)) {   // the start bit did not last: not a start
            huntFrom = edge + halfBit;
            continue;
        }
        if (stop > horizon) {
            pendingStop = stop;
            return;
        }
        unsigned byte = 0;
        for (int k = 0; k < rx.dataBits; ++k)
            if (sample(edge + (2 * k + 3) * halfBit))
                byte |= 1u << k;
        const bool parityWrong =
            parityBits && sample(edge + (2 * rx.dataBits + 3) * halfBit) != parityBit(rx, byte);
        out.push_back({static_cast<unsigned char>(byte), !sample(stop), toMs(stop), parityWrong});
        huntFrom = stop;
        while (!frames.empty() && frames.front().end <= huntFrom)
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

EchoChain::EchoChain(const LineSettings &port, const LineSettings &device, bool echoOnLine,
                     double detectShare)
    : out(port, device, detectShare), back(device, port, detectShare), echoOnLine(echoOnLine)
{
}

void EchoChain::retune(const LineSettings &port, const LineSettings &device, bool echo,
                       double detectShare)
{
    out.retune(port, device, detectShare);
    back.retune(device, port, detectShare);
    echoOnLine = echo;
}

void EchoChain::send(unsigned char byte, double atMs)
{
    out.send(byte, atMs);
}

// The far device echoes each byte as its stop bit is sampled.
void EchoChain::carry(const std::vector<UartLine::Received> &got)
{
    for (const UartLine::Received &r : got)
        back.send(r.byte, r.atMs);
}

void EchoChain::receive(double nowMs, std::vector<UartLine::Received> &got)
{
    if (!echoOnLine) {
        out.receive(nowMs, got);
        return;
    }
    atDevice.clear();
    out.receive(nowMs, atDevice);
    carry(atDevice);
    // a byte the far device takes in later is echoed after both `nowMs` and the line so far
    back.receive(nowMs, got);
}

void EchoChain::receiveAll(std::vector<UartLine::Received> &got)
{
    if (!echoOnLine) {
        out.receiveAll(got);
        return;
    }
    atDevice.clear();
    out.receiveAll(atDevice);
    carry(atDevice);
    back.receiveAll(got);
}

double EchoChain::nextByteMs() const
{
    const double a = out.nextByteMs(), b = echoOnLine ? back.nextByteMs() : -1;
    return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

double EchoChain::wireFreeMs() const
{
    return std::max(out.wireFreeMs(), echoOnLine ? back.wireFreeMs() : -1);
}

std::size_t EchoChain::inFlight() const
{
    return out.inFlight() + (echoOnLine ? back.inFlight() : 0);
}

bool EchoChain::phaseMatters(double detectShare) const
{
    return out.phaseMatters(detectShare) || (echoOnLine && back.phaseMatters(detectShare));
}

long long EchoChain::queued() const
{
    return out.queued() + (echoOnLine ? back.queued() : 0);
}

bool EchoChain::quietAt(double atMs) const
{
    return nextByteMs() < 0 && wireFreeMs() <= atMs;
}

void EchoChain::reset()
{
    out.reset();
    back.reset();
}
