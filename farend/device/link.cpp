#include "farend/device/link.h"

#include "testcycle/testcycle.h"

#include <algorithm>
#include <cmath>
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

std::string Link::cycleText() const
{
    if (received_ == 0)
        return "nothing arrived";
    if (exactCycle())
        return "test cycle exact";
    return "test cycle broken at byte " + std::to_string(firstMismatch + 1);
}

std::vector<std::string> Link::timingLines() const
{
    std::vector<std::string> lines;
    if (timing_.gaps() == 0)
        return lines;
    lines.push_back("period (ms): " + timing_.ladder());
    lines.push_back(std::to_string(timing_.longGaps()) +
                    (timing_.longGaps() == 1 ? " gap" : " gaps") + " over twice the median");
    for (const std::string &row : timing_.histogramRows(kHistogramRows))
        lines.push_back(row);
    return lines;
}

std::string Link::summary() const
{
    const double span = received_ > 1 ? (lastAtMs - firstAtMs) / 1000.0 : 0.0;
    char head[160];
    std::snprintf(head, sizeof head,
                  "farend: received %lld bytes, sent %lld bytes, first to last %.3f s, ", received_,
                  sent_, span);
    std::string text = head + cycleText();
    for (const std::string &line : timingLines())
        text += "\n  " + line;
    if (lost_ > 0)
        text += "\n  " + std::to_string(lost_) + " replies lost: the line did not take them";
    if (overrun_ > 0)
        text += "\n  " + std::to_string(overrun_) +
                " bytes not answered: they came faster than the device could hold them";
    return text;
}

nlohmann::ordered_json Link::reportJson() const
{
    const double span = received_ > 1 ? (lastAtMs - firstAtMs) / 1000.0 : 0.0;
    nlohmann::ordered_json r;
    r["received"] = received_;
    r["sent"] = sent_;
    r["lost"] = lost_;
    r["overrun"] = overrun_;
    r["first_to_last_s"] = std::round(span * 1e6) / 1e6;
    r["test_cycle"] = received_ == 0 ? "nothing arrived" : exactCycle() ? "exact" : "broken";
    r["broken_at_byte"] =
        exactCycle() ? nlohmann::ordered_json() : nlohmann::ordered_json(firstMismatch + 1);
    r["gaps"] = timing_.gaps();
    r["period_ms"] = {{"median", std::round(timing_.medianMs() * 1e3) / 1e3},
                      {"p99", std::round(timing_.p99Ms() * 1e3) / 1e3},
                      {"max", std::round(timing_.maxMs() * 1e6) / 1e6}};
    r["gaps_over_twice_median"] = timing_.longGaps();
    r["gap_histogram_ms"] = timing_.histogramJson();
    return r;
}

std::string Link::report() const
{
    return reportJson().dump(2) + "\n";
}
