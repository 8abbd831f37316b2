// The simulated far end of the link: a device that echoes every byte, behind a line that can
// be slow, lossy, silent or cut.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

struct LinkOptions {
    double latencyMs = 0;        // extra delay before each reply goes out
    bool paced = false;          // 9600 baud 8N1: 10 bits a byte, each way, queued as on a wire
    double dropPercent = 0;      // share of replies never sent
    double corruptPercent = 0;   // share of replies sent with bits flipped
    bool silent = false;         // never answer
    long long hangupAfter = -1;  // cut the line after answering this many bytes
    std::uint32_t seed = 1;
};

constexpr double kByteTimeMs = 10.0 * 1000.0 / 9600.0;   // start, 8 data, stop bit
constexpr double kHangupGraceMs = 20.0;                   // the last reply is read before the cut

class Link {
public:
    explicit Link(const LinkOptions &options);

    // A byte from the tester reached our end of the line at `nowMs`.
    void received(unsigned char byte, double nowMs);
    // Replies due by `nowMs`, in order; each counts as sent.
    std::string takeDue(double nowMs);
    // When the next reply or the hang-up is due; negative when nothing is pending.
    double nextDueMs() const;
    bool hangupDue(double nowMs) const { return hangupAt >= 0 && nowMs >= hangupAt; }

    long long bytesReceived() const { return received_; }
    long long bytesSent() const { return sent_; }
    // Whether everything received so far is the test cycle "0".."9", "A".."Z", from "0".
    bool exactCycle() const { return firstMismatch < 0; }
    long long firstMismatchAt() const { return firstMismatch; }
    std::string summary() const;

private:
    bool chance(double percent);

    struct Reply {
        double dueMs;
        unsigned char byte;
    };
    LinkOptions opt;
    std::deque<Reply> pending;
    double outboundFreeMs = 0;   // tester -> device wire
    double inboundFreeMs = 0;    // device -> tester wire
    double hangupAt = -1;
    long long received_ = 0;
    long long sent_ = 0;
    long long firstMismatch = -1;
    double firstAtMs = -1, lastAtMs = -1;
    std::uint32_t rng;
};
