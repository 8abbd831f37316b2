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
// reads the bit that begins there. A receiver clocked at 16 times its rate notices an edge at its
// next tick, up to a sixteenth of its bit late: `detectShare` is that delay as a share of its bit.
class UartLine {
public:
    // Data bits 5 to 8, parity N, E, O, M or S, 1 or 2 stop bits; rates of at least 1 baud.
    UartLine(const LineSettings &sender, const LineSettings &receiver, double detectShare = 0);

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
    // Frames sent less than a bit after the one before ended: only these would move with another
    // stop bit, so a line without any reads the same whatever the sender's stop bits.
    long long queued() const { return queued_; }
    // Whether a receiver noticing edges `detectShare` of its bit later than this one does could
    // have read anything otherwise: a sample it took lay that close before a bit's edge.
    bool phaseMatters(double detectShare) const;
    // A new line: nothing on the wire, the receiver waiting for a start bit.
    void reset();
    // A new line between ends set so (what it holds is kept for reuse).
    void retune(const LineSettings &sender, const LineSettings &receiver, double detectShare = 0);

private:
    // 1 / (2 * sender rate * receiver rate) of a second: a sender bit is 2 * receiver rate units,
    // half a receiver bit is sender rate units
    using Units = std::int64_t;
    struct Frame {
        Units start, end;
        std::uint32_t levels;   // bit i: the line's level during the frame's bit i
    };
    Units toUnits(double ms) const;
    double toMs(Units u) const;
    int bitAt(Units into) const;
    // A share of the receiver's bit, in units.
    Units ofBit(double share) const;
    // The line's level at `at`, read by the receiver.
    bool sample(Units at);
    Units nextFallingEdge(Units after) const;
    void decode(Units horizon, std::vector<Received> &out);

    LineSettings tx, rx;
    Units senderBit;
    Units halfBit;   // of the receiver
    Units detect;    // from a falling edge to the receiver noticing it
    int frameBits;   // of the sender: start, data, parity, stop
    double perSenderBit;
    double unitsPerMs;
    double originMs = 0;
    bool started = false;
    std::deque<Frame> frames;
    Units lastEnd = 0;
    Units huntFrom;          // the receiver looks for a falling edge after this
    Units pendingStop = -1;  // stop-bit sample of the byte being received
    long long queued_ = 0;
    Units lastSample;     // the receiver's latest sample
    Units nearestAhead;   // the least time from a sample to the next edge of a sender's bit
};

// What a UART at `rate` baud 8N1 makes of the tester's 9600-baud 8N1 line.
class WrongRateUart : public UartLine {
public:
    explicit WrongRateUart(long rate)
        : UartLine(kTesterLine, {static_cast<std::uint32_t>(rate), 8, 'N', 1})
    {
    }
};

// A far device that echoes every byte, behind a device server's UART: the port sends each byte
// as a frame at its settings, the far device's UART reads that line at its own, the device echoes
// each byte it takes in (with a framing or parity error too) at once as a frame of its own, and
// the port reads the echo back at its settings. Without `echoOnLine` what the far device takes
// in comes back as bytes (a far end answering over a byte channel, as --wrong-baud answers).
class EchoChain {
public:
    // `detectShare`: each UART notices a start edge that share of its own bit late.
    EchoChain(const LineSettings &port, const LineSettings &device, bool echoOnLine = true,
              double detectShare = 0);

    // A byte to the port at `atMs`; times never go back.
    void send(unsigned char byte, double atMs);
    // Appends the replies the port has taken in by `nowMs` that nothing later can change.
    void receive(double nowMs, std::vector<UartLine::Received> &out);
    // Takes both lines as idle from their last frames on and appends every reply still to come.
    void receiveAll(std::vector<UartLine::Received> &out);
    // When the next byte on either line is complete; negative when none is under way.
    double nextByteMs() const;
    // When the last frame on either line leaves its wire; negative before any.
    double wireFreeMs() const;
    std::size_t inFlight() const;
    // Frames on either line that a second stop bit would move (UartLine::queued).
    long long queued() const;
    // Whether UARTs noticing edges `detectShare` of their bits later could have read otherwise.
    bool phaseMatters(double detectShare) const;
    // After receive(atMs): nothing on either wire and no byte under way, so that a byte sent at
    // `atMs` meets the chain as a fresh one would.
    bool quietAt(double atMs) const;
    void reset();
    // A new chain set so (what it holds is kept for reuse).
    void retune(const LineSettings &port, const LineSettings &device, bool echoOnLine = true,
                double detectShare = 0);

private:
    void carry(const std::vector<UartLine::Received> &atDevice);

    UartLine out, back;
    bool echoOnLine;
    std::vector<UartLine::Received> atDevice;
};

constexpr long kMinWrongRate = 50;
constexpr long kMaxWrongRate = 4000000;
