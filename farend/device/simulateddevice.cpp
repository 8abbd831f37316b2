#include "farend/device/simulateddevice.h"

#include <algorithm>
#include <vector>

namespace {
// The line the options ask for: a far end reading at the wrong rate and answering as bytes, a
// far device or a device server's port at other settings, or none (an echo).
std::unique_ptr<EchoChain> lineFor(const DeviceOptions &o)
{
    if (o.wrongBaud > 0)
        return std::make_unique<EchoChain>(
            kTesterLine, LineSettings{static_cast<std::uint32_t>(o.wrongBaud), 8, 'N', 1}, false);
    if (!o.farDevice.baud && !o.serverPort.baud)
        return nullptr;
    auto orTester = [](const LineSettings &s) { return s.baud ? s : kTesterLine; };
    return std::make_unique<EchoChain>(orTester(o.serverPort), orTester(o.farDevice));
}
} // namespace

SimulatedDevice::SimulatedDevice(const DeviceOptions &options)
    : opt(options), uart(lineFor(options)), rng(options.seed ? options.seed : 1)
{
}

// xorshift32: reproducible from --seed, good enough to pick which replies go wrong
bool SimulatedDevice::chance(double percent)
{
    if (percent <= 0)
        return false;
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return (rng % 1000000) < percent * 10000.0;
}

// The device has `byte` to send back at `atDeviceMs`.
void SimulatedDevice::answer(unsigned char byte, double atDeviceMs)
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

void SimulatedDevice::answerWhatTheUartReceived(double nowMs)
{
    std::vector<UartLine::Received> got;
    uart->receive(nowMs, got);
    for (const auto &r : got)
        answer(r.byte, r.atMs);
}

void SimulatedDevice::received(unsigned char byte, double nowMs)
{
    watch.byte(byte, nowMs);
    if (cut || hangupAt >= 0)
        return;   // the line is being cut: no more answers
    if (pending.size() + (uart ? uart->inFlight() : 0) >= kBacklogLimit) {
        ++overrun_;
        return;
    }

    const bool last = opt.hangupAfter >= 0 && watch.bytesOnLine() >= opt.hangupAfter;
    if (uart) {
        // the wrong-rate receiver needs the bits' times: the tester's bytes always take their
        // wire time, and each byte it takes in goes back when its stop bit has been sampled
        uart->send(byte, nowMs);
        answerWhatTheUartReceived(nowMs);
        if (last) {
            std::vector<UartLine::Received> rest;
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

std::string SimulatedDevice::takeDue(double nowMs)
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

double SimulatedDevice::nextDueMs() const
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

void SimulatedDevice::lineCut()
{
    cut = true;
    pending.clear();
}

void SimulatedDevice::newLine()
{
    pending.clear();
    outboundFreeMs = inboundFreeMs = 0;
    hangupAt = -1;
    cut = false;
    if (uart)
        uart->reset();
    watch.newLine();
}
