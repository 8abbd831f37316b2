// The simulated far device and its line: a device that echoes every byte, behind a line that can
// be slow, lossy, silent, cut, set to the wrong baud rate, or whose far device or device server's
// port is set to another speed and frame format.
#pragma once

#include "farend/figures/farend.h"
#include "farend/line/tester.h"
#include "farend/line/testerwatch.h"
#include "farend/line/uart.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

struct DeviceOptions {
    double latencyMs = 0;        // extra delay before each reply goes out
    bool paced = false;          // at the tester's speed each way, bytes queued as on a wire
    double dropPercent = 0;      // share of replies never sent
    double corruptPercent = 0;   // share of replies sent with bits flipped
    bool silent = false;         // never answer
    long long hangupAfter = -1;  // cut the line after answering this many bytes
    long wrongBaud = 0;          // answer what a UART at this rate receives (0: echo)
    // A far device behind a device server's UART, both directions through the UART model:
    // each at the tester's settings where its baud is 0.
    LineSettings farDevice{0, 8, 'N', 1};
    LineSettings serverPort{0, 8, 'N', 1};
    std::uint32_t seed = 1;
};

// a byte on the tester's line, one way
constexpr double kByteTimeMs = kTesterLine.frameBits() * 1000.0 / kTesterLine.baud;
constexpr double kHangupGraceMs = 20.0;                   // the last reply is read before the cut
// Bytes the device holds at most, on their way in and as replies not yet due (a device server's
// buffers); a byte that finds them full is counted and not answered.
constexpr std::size_t kBacklogLimit = 64 * 1024;

class SimulatedDevice {
public:
    explicit SimulatedDevice(const DeviceOptions &options);

    // A byte from the tester reached our end of the line at `nowMs`.
    void received(unsigned char byte, double nowMs);
    // Replies due by `nowMs`, in order.
    std::string takeDue(double nowMs);
    // Replies that went out on the line (the transport may take them later than they were due).
    void sent(std::size_t count) { sent_ += static_cast<long long>(count); }
    // Replies that fell due but never went: the line did not take them, or closed first.
    void lost(std::size_t count) { lost_ += static_cast<long long>(count); }
    // When the next reply, received byte or the hang-up is due; negative when nothing is.
    double nextDueMs() const;
    bool hangupDue(double nowMs) const { return !cut && hangupAt >= 0 && nowMs >= hangupAt; }
    // The line was cut: nothing more is answered on it.
    void lineCut();
    // A new line (the next connection): nothing pending, nothing cut, the cycle from "0" again.
    void newLine();

    long long bytesReceived() const { return watch.bytes(); }
    long long bytesSent() const { return sent_; }
    long long bytesOverrun() const { return overrun_; }
    long long bytesLost() const { return lost_; }
    // The tester's bytes as they came: the cycle, their times.
    const TesterWatch &tester() const { return watch; }
    // What the device counted, for its summary and report.
    FarEndFigures figures() const { return {&watch, sent_, lost_, overrun_}; }

private:
    bool chance(double percent);
    void answer(unsigned char byte, double atDeviceMs);
    void answerWhatTheUartReceived(double nowMs);

    struct Reply {
        double dueMs;
        unsigned char byte;
    };
    DeviceOptions opt;
    std::unique_ptr<EchoChain> uart;   // a line that converts what it carries; none: an echo
    std::deque<Reply> pending;
    double outboundFreeMs = 0;   // tester -> device wire
    double inboundFreeMs = 0;    // device -> tester wire
    double hangupAt = -1;
    bool cut = false;
    TesterWatch watch;
    long long sent_ = 0;
    long long lost_ = 0;
    long long overrun_ = 0;
    std::uint32_t rng;
};
