// What a UART set to another rate makes of the tester's 9600-baud 8N1 line: the far end of a
// device server configured for the wrong baud rate.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

// The line is one continuous waveform: each byte the tester sends is a frame of ten 9600-baud
// bits (start low, 8 data bits LSB first, stop high) and the line idles high between frames. The
// receiver waits for a falling edge, checks the start bit at its middle, samples 8 data bits and
// the stop bit at the middle of its own bit times, then waits for the next falling edge. A byte
// whose stop bit samples low (a framing error, or a break) is still delivered, as Linux does
// for a port without parity checking. A sample that falls exactly on a bit boundary reads the
// bit that begins there (a real receiver notices an edge a fraction of a bit late).
class WrongRateUart {
public:
    explicit WrongRateUart(long rate);

    struct Received {
        unsigned char byte;
        bool framingError;
        double atMs;   // when the receiver sampled the stop bit
    };

    // The tester's byte goes onto the wire at `atMs`, or right behind the byte before it if that
    // one is still on the wire. Times never go back.
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
    using Units = std::int64_t;   // 1/19200 of a receiver bit: both bit times are whole units
    struct Frame {
        Units start;
        unsigned char byte;
    };
    Units toUnits(double ms) const;
    double toMs(Units u) const;
    bool level(Units at) const;
    Units nextFallingEdge(Units after) const;
    void decode(Units horizon, std::vector<Received> &out);

    const long rate;
    const Units testerBit;   // 2 * rate units
    double originMs = 0;
    bool started = false;
    std::deque<Frame> frames;
    Units lastEnd = 0;
    Units huntFrom;          // the receiver looks for a falling edge after this
    Units pendingStop = -1;  // stop-bit sample of the byte being received
};

constexpr long kMinWrongRate = 50;
constexpr long kMaxWrongRate = 4000000;
