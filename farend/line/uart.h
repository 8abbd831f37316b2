// One direction of a serial line whose two ends disagree: what a UART set to one speed and
// format receives from a sender set to another. The far end of a device server configured for
// the wrong baud rate, and a far device's answer read back at the tester's settings.
#pragma once

#include "farend/line/linesettings.h"
#include "farend/line/tester.h"

#include <cstdint>
#include <deque>
#include <vector>

// The line is one continuous waveform: each byte sent is a frame of the sender's bits (start
// low, its data bits LSB first, its parity bit if any, its stop bits high) and the line idles
// high between frames. The receiver waits for a falling edge, checks the start bit at its middle,
// samples its data bits, its parity bit and its first stop bit at the middle of its own bit
// times, then waits for the next falling edge (as a 16550 does, whatever its stop-bit setting).
// A byte with a framing or parity error (or a break) is still delivered with its flags, as Linux
// does for a port without input parity checking. A sample that falls exactly on a bit boundary
// reads the bit that begins there (a real receiver notices an edge a fraction of a bit late).
class UartLine {
public:
    // Data bits 5 to 8, parity N, E, O, M or S, 1 or 2 stop bits; rates of at least 1 baud.
    UartLine(const LineSettings &sender, const LineSettings &receiver);

    struct Received {
        unsigned char byte;
        bool framingError;
        double atMs;   // when the receiver sampled the stop bit
        bool parityError = false;
    };

    // A byte goes onto the wire at `atMs`, or right behind the byte before it if that one is
    // still on the wire; bits above the sender's data size are not sent. Times never go back.
    void send(unsigned char byte, double atMs);
    // Appends the bytes the receiver has taken in by `nowMs` that no later byte can change.
    void receive(double nowMs, std::vector<Received> &out);
    // Takes the line as idle from the last frame on and appends everything still to come.
    void receiveAll(std::vector<Received> &out);
    // When the byte being received is complete; negative while waiting for a start bit.
    double nextByteMs() const { return pendingStop < 0 ? -1 : toMs(pendingStop); }
    // When the last frame sent leaves the wire; negative before any.
    double wireFreeMs() const { return started ? toMs(lastEnd) : -1; }
    // Frames sent that the receiver has not yet finished with.
    std::size_t inFlight() const { return frames.size(); }
    // A new line: nothing on the wire, the receiver waiting for a start bit.
    void reset();

private:
    // 1 / (2 * sender rate * receiver rate) of a second: a sender bit is 2 * receiver rate units,
    // half a receiver bit is sender rate units
    using Units = std::int64_t;
    struct Frame {
        Units start;
        unsigned char byte;
    };
    Units toUnits(double ms) const;
    double toMs(Units u) const;
    bool frameBit(unsigned char byte, int i) const;
    bool level(Units at) const;
    Units nextFallingEdge(Units after) const;
    void decode(Units horizon, std::vector<Received> &out);

    const LineSettings tx, rx;
    const Units senderBit;
    const Units halfBit;   // of the receiver
    const int frameBits;   // of the sender: start, data, parity, stop
    const double unitsPerMs;
    double originMs = 0;
    bool started = false;
    std::deque<Frame> frames;
    Units lastEnd = 0;
    Units huntFrom;          // the receiver looks for a falling edge after this
    Units pendingStop = -1;  // stop-bit sample of the byte being received
};

// What a UART at `rate` baud 8N1 makes of the tester's 9600-baud 8N1 line.
class WrongRateUart : public UartLine {
public:
    explicit WrongRateUart(long rate)
        : UartLine(kTesterLine, {static_cast<std::uint32_t>(rate), 8, 'N', 1})
    {
    }
};

constexpr long kMinWrongRate = 50;
constexpr long kMaxWrongRate = 4000000;
