#include "farend/link.h"

#include "testcycle/testcycle.h"

#include <algorithm>
#include <cstdio>
#include <vector>

Link::Link(const LinkOptions &options)
    : opt(options),
      uart(options.wrongBaud > 0 ? std::make_unique<WrongRateUart>(options.wrongBaud) : nullptr),
      rng(options.seed ? options.seed : 1)
{
}

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

// The device has `byte` to send back at `atDeviceMs`.
void Link::answer(unsigned char byte, double atDeviceMs)
{
    if (opt.silent || chance(opt.dropPercent))
        return;
    if (chance(opt.corruptPercent))
        byte ^= static_cast<unsigned char>(1u << (rng % 8));
    double due = atDeviceMs + opt.latencyMs;
    if (opt.paced) {
        due = std::max(due, inboundFreeMs) + kByteTimeMs;
        inboundFreeMs = due;
    }
    pending.push_back({due, byte});
}

void Link::answerWhatTheUartReceived(double nowMs)
{
    std::vector<WrongRateUart::Received> got;
    uart->receive(nowMs, got);
    for (const auto &r : got)
        answer(r.byte, r.atMs);
}

void Link::received(unsigned char byte, double nowMs)
{
    if (firstMismatch < 0 && byte != static_cast<unsigned char>(testcycle::at(receivedOnLine)))
        firstMismatch = received_;
    ++received_;
    ++receivedOnLine;
    if (firstAtMs < 0)
        firstAtMs = nowMs;
    lastAtMs = nowMs;
    timing_.byteAt(nowMs);
    if (cut || hangupAt >= 0)
        return;   // the line is being cut: no more answers
    if (pending.size() + (uart ? uart->inFlight() : 0) >= kBacklogLimit) {
        ++overrun_;
        return;
    }

    const bool last = opt.hangupAfter >= 0 && receivedOnLine >= opt.hangupAfter;
    if (uart) {
        // the wrong-rate receiver needs the bits' times: the tester's bytes always take their
        // wire time, and each byte it takes in goes back when its stop bit has been sampled
        uart->send(byte, nowMs);
        answerWhatTheUartReceived(nowMs);
        if (last) {
            std::vector<WrongRateUart::Received> rest;
            uart->receiveAll(rest);   // nothing follows on the line: finish what is under way
            for (const auto &r : rest)
                answer(r.byte, r.atMs);
            const double end = pending.empty() ? uart->wireFreeMs() + opt.latencyMs
                                               : pending.back().dueMs;
            hangupAt = end + kHangupGraceMs;
        }
        return;
    }

    double atDevice = nowMs;
    if (opt.paced) {
        atDevice = std::max(nowMs, outboundFreeMs) + kByteTimeMs;
        outboundFreeMs = atDevice;
    }
    const std::size_t before = pending.size();
    answer(byte, atDevice);
    if (last)
        hangupAt = (pending.size() > before ? pending.back().dueMs : atDevice + opt.latencyMs) +
                   kHangupGraceMs;
}

std::string Link::takeDue(double nowMs)
{
    if (uart && !cut && hangupAt < 0)
        answerWhatTheUartReceived(nowMs);
    std::string out;
    while (!pending.empty() && pending.front().dueMs <= nowMs) {
        out.push_back(static_cast<char>(pending.front().byte));
        pending.pop_front();
    }
    return out;
}

double Link::nextDueMs() const
{
    if (cut)
        return -1;
    double next = pending.empty() ? -1 : pending.front().dueMs;
    auto sooner = [&next](double t) {
        if (t >= 0 && (next < 0 || t < next))
            next = t;
    };
    if (uart && hangupAt < 0)
        sooner(uart->nextByteMs());
    sooner(hangupAt);
    return next;
}

void Link::lineCut()
{
    cut = true;
    pending.clear();
}

void Link::newLine()
{
    pending.clear();
    outboundFreeMs = inboundFreeMs = 0;
    hangupAt = -1;
    cut = false;
    receivedOnLine = 0;
    if (uart)
        uart->reset();
    timing_.newLine();
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
    std::string text = line;
    if (timing_.gaps() > 0)
        text += ", " + timing_.summary();
    if (lost_ > 0)
        text += ", " + std::to_string(lost_) + " replies lost: the line did not take them";
    if (overrun_ > 0)
        text += ", " + std::to_string(overrun_) +
                " bytes not answered: they came faster than the device could hold them";
    return text;
}

std::string Link::report() const
{
    const double span = received_ > 1 ? (lastAtMs - firstAtMs) / 1000.0 : 0.0;
    const char *cycle = received_ == 0 ? "nothing arrived" : exactCycle() ? "exact" : "broken";
    char head[512];
    std::snprintf(head, sizeof head,
                  "{\n"
                  "  \"received\": %lld,\n"
                  "  \"sent\": %lld,\n"
                  "  \"lost\": %lld,\n"
                  "  \"overrun\": %lld,\n"
                  "  \"first_to_last_s\": %.6f,\n"
                  "  \"test_cycle\": \"%s\",\n"
                  "  \"broken_at_byte\": %s,\n"
                  "  \"gaps\": %lld,\n"
                  "  \"period_ms\": {\"median\": %.3f, \"p99\": %.3f, \"max\": %.6f},\n"
                  "  \"gaps_over_twice_median\": %lld,\n"
                  "  \"gap_histogram_ms\": [",
                  received_, sent_, lost_, overrun_, span, cycle,
                  exactCycle() ? "null" : std::to_string(firstMismatch + 1).c_str(),
                  timing_.gaps(), timing_.medianMs(), timing_.p99Ms(), timing_.maxMs(),
                  timing_.longGaps());
    std::string text = head;
    const auto bins = timing_.histogram();
    for (std::size_t i = 0; i < bins.size(); ++i) {
        char row[96];
        std::snprintf(row, sizeof row, "%s\n    {\"from\": %.3f, \"to\": %.3f, \"count\": %lld}",
                      i ? "," : "", bins[i].fromMs, bins[i].toMs, bins[i].count);
        text += row;
    }
    text += bins.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return text;
}
