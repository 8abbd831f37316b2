// What the chain diagnosis costs the relay: reading whether the replies repeat (every cycle the
// tester sends), the search that explains a mapping (once for each new one), and the RFC 2217
// client decoding a flood of data and a negotiation storm, with the resident memory after each.
#include "bench/stats.h"
#include "farend/device/simulateddevice.h"
#include "farend/diagnosis/recogniser.h"
#include "farend/rfc2217/rfc2217.h"
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

// The matcher after 400 bytes of the cycle at 10 ms through farend's far end.
MappingRecogniser filled(const DeviceOptions &o)
{
    SimulatedDevice device(o);
    MappingRecogniser m;
    int next = 0;
    for (double t = 0; t < 4100; t += 0.25) {
        if (next < 400 && t >= next * 10) {
            device.received(static_cast<unsigned char>(testcycle::at(next)), t);
            m.sent(static_cast<unsigned char>(testcycle::at(next)), t);
            ++next;
        }
        for (char c : device.takeDue(t))
            m.replied(static_cast<unsigned char>(c), t);
    }
    return m;
}

// A reading of the window (every 36 bytes sent, and at each interval), and the search for the
// mapping it finds, each timed on its own.
void recognise(const char *what, const MappingRecogniser &m)
{
    std::vector<double> reads, searches;
    ReplyCycle c;
    for (int i = 0; i < 50; ++i) {
        const double start = nowMs();
        c = m.reading();
        reads.push_back(nowMs() - start);
    }
    std::string named = "nothing";
    long long candidates = 0, bytes = 0;
    if (c.kind == ReplyCycle::Kind::Systematic) {
        for (int i = 0; i < 7; ++i) {
            const double start = nowMs();
            const Explanation e = explainCycle(c.image, kTesterLine, 10, c.perCycle);
            searches.push_back(nowMs() - start);
            candidates = e.candidates;
            bytes = e.bytesSimulated;
        }
        named = mappingText(*m.recogniseRun()).substr(0, 60);
    }
    std::printf("%-18s read %6.3f ms", what, percentile(reads, 50));
    if (!searches.empty())
        std::printf("  search median %5.1f ms max %5.1f ms (%lld candidates, %lld bytes)",
                    percentile(searches, 50), percentile(searches, 100), candidates, bytes);
    std::printf("\n                   %s; %zu held\n", named.c_str(), m.held());
}

DeviceOptions chainOf(LineSettings device, LineSettings port = {0, 8, 'N', 1})
{
    DeviceOptions o;
    o.farDevice = device;
    o.serverPort = port;
    return o;
}
} // namespace

int main()
{
    DeviceOptions clean;
    clean.latencyMs = 3;
    recognise("clean chain", filled(clean));
    DeviceOptions far = clean;
    far.wrongBaud = 19200;
    recognise("far end 19200", filled(far));
    recognise("device 9600 7E1", filled(chainOf({9600, 7, 'E', 1})));
    recognise("device 31250 8N1", filled(chainOf({31250, 8, 'N', 1})));
    recognise("device 19200 8N1", filled(chainOf({19200, 8, 'N', 1})));
    recognise("device 115200 8N1", filled(chainOf({115200, 8, 'N', 1})));
    recognise("device 1200 8N1", filled(chainOf({1200, 8, 'N', 1})));
    recognise("port 57600 8N1", filled(chainOf({0, 8, 'N', 1}, {57600, 8, 'N', 1})));
    recognise("port 115200 8N1", filled(chainOf({0, 8, 'N', 1}, {115200, 8, 'N', 1})));
    MappingRecogniser noise;
    std::mt19937 rng(1);
    for (int i = 0; i < 400; ++i) {
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
