// What the chain diagnosis costs the relay: recognising a speed over the window (clean, wrong
// rate, random replies), and the RFC 2217 client decoding a flood of data and a negotiation
// storm, with the resident memory after each.
#include "bench/stats.h"
#include "farend/device/link.h"
#include "farend/rfc2217/rfc2217.h"
#include "farend/diagnosis/speedmatch.h"
#include "testcycle/testcycle.h"

#include <chrono>
#include <random>
#include <string>

namespace {
double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// The matcher after 300 bytes of the cycle at 10 ms through farend's far end.
SpeedMatcher filled(const LinkOptions &o)
{
    Link link(o);
    SpeedMatcher m;
    int next = 0;
    for (double t = 0; t < 3100; t += 0.25) {
        if (next < 300 && t >= next * 10) {
            link.received(static_cast<unsigned char>(testcycle::at(next)), t);
            m.sent(static_cast<unsigned char>(testcycle::at(next)), t);
            ++next;
        }
        for (char c : link.takeDue(t))
            m.replied(static_cast<unsigned char>(c), t);
    }
    return m;
}

void recognise(const char *what, const SpeedMatcher &m)
{
    std::vector<double> ms;
    std::string named = "nothing";
    for (int i = 0; i < 20; ++i) {
        const double start = nowMs();
        const auto match = m.recognise();
        ms.push_back(nowMs() - start);
        if (match)
            named = match->other.text();
    }
    std::printf("recognise, %-16s median %7.3f ms  max %7.3f ms  (%s; %zu held)\n", what,
                percentile(ms, 50), percentile(ms, 100), named.c_str(), m.held());
}
} // namespace

int main()
{
    LinkOptions clean;
    clean.latencyMs = 3;
    recognise("clean chain", filled(clean));
    for (long rate : {2400L, 19200L, 115200L}) {
        LinkOptions o = clean;
        o.wrongBaud = rate;
        recognise(("far end at " + std::to_string(rate)).c_str(), filled(o));
    }
    SpeedMatcher noise;
    std::mt19937 rng(1);
    for (int i = 0; i < 300; ++i) {
        noise.sent(static_cast<unsigned char>(testcycle::at(i)), i * 10.0);
        noise.replied(static_cast<unsigned char>(rng()), i * 10.0 + 3);
    }
    recognise("random replies", noise);

    // 64 MiB of data with a 0xFF in every 256 bytes, then a storm of option toggles
    std::string block;
    for (int i = 0; i < 65536; ++i)
        block.push_back(static_cast<char>(i & 0xFF));
    std::string escaped;
    for (char c : block) {
        escaped.push_back(c);
        if (static_cast<unsigned char>(c) == 0xFF)
            escaped.push_back(c);
    }
    Rfc2217Client c;
    c.queueControl(c.greeting());
    std::string data;
    double start = nowMs();
    for (int i = 0; i < 1024; ++i) {
        data.clear();
        c.take(escaped.data(), escaped.size(), 0, data);
    }
    double took = nowMs() - start;
    std::printf("decode a flood      %7.1f MiB/s  (resident %ld KiB)\n", 64 / (took / 1000),
                residentBytes() / 1024);
    std::string storm;   // a hundred toggles a read
    for (int i = 0; i < 100; ++i)
        storm += std::string("\xff\xfc\x00\xff\xfb\x00", 6);
    Rfc2217Client s;
    s.queueControl(s.greeting());
    std::size_t most = 0, fed = 0;
    start = nowMs();
    while (!s.failed()) {
        s.take(storm.data(), storm.size(), 0, data);
        fed += storm.size();
        most = std::max(most, s.queued());
        s.wrote(std::min<std::size_t>(s.outgoing().size(), 300));   // it reads half the answers
    }
    took = nowMs() - start;
    std::printf("storm, half read    %zu KiB of toggles taken, %zu bytes queued at most, then: "
                "%s (%.2f ms)\n", fed / 1024, most, s.failure().c_str(), took);
}
