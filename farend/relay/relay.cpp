#include "farend/relay/relay.h"

#include "farend/diagnosis/speedmatch.h"
#include "farend/diagnosis/verdicts.h"
#include "farend/io/transport.h"
#include "farend/line/testerwatch.h"
#include "farend/relay/com3pty.h"
#include "farend/relay/echostats.h"
#include "farend/relay/targets.h"
#include "farend/report/json.h"
#include "farend/report/lines.h"
#include "farend/report/summary.h"
#include "serial/clock.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr double kReconnectEveryMs = 1000;

// The figures of a span of echoes as the verdicts take them: the whole run or an interval.
ChainFigures echoFigures(const EchoCounts &e, const WireTiming &roundTrip, const ChainFacts &chain,
                         const LineSettings &line, const std::optional<SpeedMatch> &speed)
{
    ChainFigures c;
    c.sent = e.sends;
    c.echoed = e.echoed;
    c.lost = e.lost;
    c.changed = e.changed;
    c.extra = e.extra;
    c.late = e.late;
    c.rttMedianMs = e.echoed ? roundTrip.quantileMs(0.5) : -1;
    if (chain.lan)
        c.lanRttMs = chain.lan->minMs;
    c.wireMs = wireTimeMs(line.baud, line.frameBits());
    if (speed)
        c.speed = speed->text();
    c.reporter = chain.reporter;
    return c;
}

class Carrier : public Relay, public Fallible {
public:
    Carrier(const RelayOptions &config, StreamFile &stream)
        : config(config), stream(stream), com3(config.linkPath)
    {
    }

    // Opens the target and makes COM3; false with failure() saying why not.
    bool open();
    bool run(ReportFile &report, const std::function<bool()> &stop,
             const std::function<bool()> &progress) override;
    bool clean() const override { return echoes.counts().clean(); }

private:
    // Carries bytes until stopped (true) or the target goes away (false).
    bool carry(const std::function<bool()> &stop, const std::function<bool()> &progress);
    void toTester(const std::string &replies);
    void testerOpened(double now);
    // Data the target sent before it was ready has no one to read it: counted, not carried.
    void dropEarlyData();
    // Ends the interval at `endMs` when one is due by `nowMs` (or always, with `last`).
    void intervals(double nowMs, bool last = false);
    void emit(FILE *to, const std::string &text);
    // Writes a record to the stream; says so, once, when that fails.
    void record(const nlohmann::ordered_json &r);
    double seconds(double ms) const { return (ms - startMs) / 1000.0; }
    RelayFigures figures() const;

    const RelayOptions &config;
    StreamFile &stream;
    FILE *lines = nullptr;   // where the interval lines go; null: nowhere
    Com3Pty com3;
    std::unique_ptr<Target> target;
    TesterWatch tester;   // the tester's bytes as they reach the relay
    long long toTesterBytes = 0, notTaken = 0;   // replies COM3 took, and did not
    EchoStats echoes;
    SpeedMatcher speed;
    LineSettings line = kTesterLine;   // COM3 as the tester last set it
    ChainFacts factsAtIntervalStart;
    std::vector<std::string> lastCodes;   // the interval before's verdicts
    std::string outbox;   // replies COM3 has not taken yet
    long long runs = 0;
    long long toChain = 0, fromChain = 0;
    double startMs = 0;
    double intervalStartMs = 0;
    EchoCounts atIntervalStart;
    long long toChainAtStart = 0, fromChainAtStart = 0;
};

void Carrier::emit(FILE *to, const std::string &text)
{
    if (!to)
        return;
    std::fputs(text.c_str(), to);
    std::fflush(to);
}

void Carrier::record(const nlohmann::ordered_json &r)
{
    if (!stream.write(r.dump()))
        std::fprintf(stderr, "farend: %s\n", stream.failure().c_str());
}

void Carrier::intervals(double nowMs, bool last)
{
    const double everyMs = config.intervalS * 1000.0;
    if (everyMs <= 0)
        return;
    while (last ? nowMs > intervalStartMs : nowMs >= intervalStartMs + everyMs) {
        const double endMs = last ? nowMs : intervalStartMs + everyMs;
        IntervalFigures f;
        f.fromS = seconds(intervalStartMs);
        f.toS = seconds(endMs);
        f.toChain = toChain - toChainAtStart;
        f.fromChain = fromChain - fromChainAtStart;
        f.echoes = echoes.counts() - atIntervalStart;
        f.roundTrip = &echoes.recentRoundTrip();
        f.com3Open = com3.testerOpen();
        ChainFacts now;
        target->describe(now);   // a local UART's counters are read here, once an interval
        std::optional<SpeedMatch> recognised;
        if (mostRepliesChanged(f.echoes.changed, f.echoes.echoed + f.echoes.changed))
            recognised = speed.recognise();   // tens of ms: once an interval, not per byte
        f.lineErrors = now.lineErrors.since(factsAtIntervalStart.lineErrors);
        ChainFigures c = echoFigures(f.echoes, *f.roundTrip, now, line, recognised);
        c.lineErrors = f.lineErrors;
        if (now.modemLines)
            c.modemChanges = now.modemLines->changes() -
                             (factsAtIntervalStart.modemLines
                                  ? factsAtIntervalStart.modemLines->changes()
                                  : 0);
        f.verdicts = verdicts(c);
        std::vector<std::string> codes;
        for (const Verdict &v : f.verdicts)
            codes.push_back(v.code);
        f.verdictChanged = codes != lastCodes;
        if (f.traffic())
            lastCodes = codes;
        factsAtIntervalStart = now;
        emit(lines, intervalLine(f));
        record(intervalRecord(f));
        echoes.clearRecent();
        atIntervalStart = echoes.counts();
        toChainAtStart = toChain;
        fromChainAtStart = fromChain;
        intervalStartMs = endMs;
        if (last)
            break;
    }
}

void Carrier::testerOpened(double now)
{
    ++runs;
    echoes.newRun();
    tester.newLine();
    const LineSettings settings = com3.settings();
    target->follow(settings);   // the settings found at open, if packet mode said none
    target->newRun();
    if (settings.baud)
        line = settings;
    speed = SpeedMatcher(line);
    const RunStart r{runs, seconds(now), settings};
    emit(lines, runLine(r));
    record(runRecord(r));
}

void Carrier::dropEarlyData()
{
    std::string early;
    if (target->hasHeld() && target->read(early)) {
        fromChain += static_cast<long long>(early.size());
        notTaken += static_cast<long long>(early.size());
    }
}

void Carrier::toTester(const std::string &replies)
{
    if (!com3.testerOpen()) {
        notTaken += static_cast<long long>(replies.size() + outbox.size());   // no one to read them
        outbox.clear();
        return;
    }
    const std::size_t room = kOutboxLimit - std::min(kOutboxLimit, outbox.size());
    outbox.append(replies, 0, room);
    if (replies.size() > room)
        notTaken += static_cast<long long>(replies.size() - room);
    if (outbox.empty())
        return;
    const long n = com3.write(outbox);
    if (n > 0) {
        toTesterBytes += n;
        outbox.erase(0, static_cast<std::size_t>(n));
    }
}

bool Carrier::carry(const std::function<bool()> &stop, const std::function<bool()> &progress)
{
    std::string fromTester, fromTarget;
    const double everyMs = config.intervalS * 1000.0;
    while (!stop()) {
        if (progress())
            std::fprintf(stderr, "%s\n", summaryBlock(figures()).c_str());
        pollfd p[2];
        nfds_t n = 0;
        const int targetFd = target->fd();
        pollfd *targetPoll = nullptr, *com3Poll = nullptr;
        if (targetFd >= 0) {
            targetPoll = &p[n++];
            *targetPoll = {targetFd,
                           static_cast<short>(POLLIN | (target->hasQueued() ? POLLOUT : 0)), 0};
        }
        const bool open = com3.testerOpen();
        if (open) {
            com3Poll = &p[n++];
            // POLLPRI: packet mode's news of changed settings
            *com3Poll = {com3.fd(),
                         static_cast<short>(POLLIN | POLLPRI | (outbox.empty() ? 0 : POLLOUT)), 0};
        }
        // a closed COM3 hangs up all the time: it is looked at every 10 ms instead
        int timeout = targetFd < 0 || !outbox.empty() ? 1 : open ? 50 : 10;
        if (everyMs > 0)   // the interval's line goes out on time
            timeout = std::min<double>(
                timeout, std::max(0.0, intervalStartMs + everyMs - monotonicMs()) + 1);
        poll(p, n, timeout);
        const double now = monotonicMs();
        // only what poll() said is readable is read: a relay that waits costs no system calls
        auto readable = [](const pollfd *q) {
            return !q || (q->revents & (POLLIN | POLLPRI | POLLHUP | POLLERR));
        };

        const bool opened = !open && com3.checkOpen();
        if (opened)
            testerOpened(now);
        fromTester.clear();
        bool changed = false;
        if (com3.testerOpen() && (opened || readable(com3Poll)) &&
            !com3.read(fromTester, changed))
            outbox.clear();   // the run has ended; the next open is a new one
        if (changed) {
            target->follow(com3.settings());
            if (com3.settings().baud && com3.settings() != line)
                speed = SpeedMatcher(line = com3.settings());
        }
        for (char c : fromTester) {
            speed.sent(static_cast<unsigned char>(c), now);
            echoes.sent(static_cast<unsigned char>(c), now);
            tester.byte(static_cast<unsigned char>(c), now);
        }
        toChain += static_cast<long long>(fromTester.size());
        if ((!fromTester.empty() || target->hasQueued()) && !target->write(fromTester))
            return false;

        fromTarget.clear();
        const bool held =
            !(readable(targetPoll) || target->hasHeld()) || target->read(fromTarget);
        const double at = monotonicMs();
        fromChain += static_cast<long long>(fromTarget.size());
        for (char c : fromTarget) {
            speed.replied(static_cast<unsigned char>(c), at);
            echoes.replied(static_cast<unsigned char>(c), at);
        }
        toTester(fromTarget);
        echoes.expire(at);
        intervals(at);
        if (!held)
            return false;
    }
    return true;
}

RelayFigures Carrier::figures() const
{
    RelayFigures f;
    f.link = config.linkPath;
    f.target = config.target;
    f.elapsedS = seconds(monotonicMs());
    f.runs = runs;
    f.toChain = toChain;
    f.fromChain = fromChain;
    f.toTester = toTesterBytes;
    f.notTaken = notTaken;
    f.echoes = echoes.counts();
    f.awaiting = echoes.waiting();
    f.roundTrip = &echoes.roundTrip();
    f.tester = &tester;
    if (target)
        target->describe(f.chain);
    f.line = line;
    if (mostRepliesChanged(f.echoes.changed, f.echoes.echoed + f.echoes.changed))
        f.speed = speed.recognise();
    ChainFigures c = echoFigures(f.echoes, *f.roundTrip, f.chain, line, f.speed);
    c.lineErrors = f.chain.lineErrors;
    if (f.chain.modemLines)
        c.modemChanges = f.chain.modemLines->changes();
    f.verdicts = verdicts(c);
    if (f.echoes.echoed)
        f.split = splitRoundTrip(c.rttMedianMs, c.lanRttMs, c.wireMs);
    f.expectClean = config.expectClean;
    return f;
}

bool Carrier::open()
{
    struct stat st;
    if (lstat(config.linkPath.c_str(), &st) == 0)
        return fail(config.linkPath + " exists already");
    Opened<Target> opened = openTarget(config.target);
    if (!opened)
        return fail(opened.error);
    target = std::move(opened.value);
    return com3.make() || fail(com3.failure());
}

bool Carrier::run(ReportFile &report, const std::function<bool()> &stop,
                  const std::function<bool()> &progress)
{
    if (config.intervalS > 0)
        lines = stream.onStandardOutput() ? stderr : stdout;
    std::fprintf(stderr, "farend: relaying %s to %s\n", config.linkPath.c_str(),
                 config.target.c_str());
    startMs = intervalStartMs = monotonicMs();
    target->describe(factsAtIntervalStart);
    dropEarlyData();
    record(startRecord(figures(), config.intervalS));
    emit(lines, intervalHeader());
    bool held = true;
    while (!carry(stop, progress)) {
        com3.hangUp();   // as a redirector whose connection is gone: the tester's port fails
        std::fprintf(stderr, "farend: %s: %s hung up\n", target->failure().c_str(),
                     config.linkPath.c_str());
        if (!config.reconnect) {
            held = false;
            break;
        }
        std::fprintf(stderr, "farend: waiting for %s again\n", config.target.c_str());
        std::unique_ptr<Target> again;
        double nextTry = monotonicMs() + kReconnectEveryMs;
        while (!again && !stop()) {
            if (progress())
                std::fprintf(stderr, "%s\n", summaryBlock(figures()).c_str());
            intervals(monotonicMs());
            if (monotonicMs() < nextTry) {
                usleep(50000);
                continue;
            }
            nextTry = monotonicMs() + kReconnectEveryMs;
            again = std::move(openTarget(config.target).value);
        }
        if (!again)
            break;   // stopped while waiting
        target = std::move(again);
        target->describe(factsAtIntervalStart);   // the new connection counts from nothing
        dropEarlyData();
        echoes.newRun();
        outbox.clear();
        if (!com3.make()) {
            std::fprintf(stderr, "farend: %s\n", com3.failure().c_str());
            held = false;
            break;
        }
        std::fprintf(stderr, "farend: relaying %s to %s again\n", config.linkPath.c_str(),
                     config.target.c_str());
    }
    const double end = monotonicMs();
    echoes.expire(end);
    intervals(end, true);
    const RelayFigures f = figures();
    std::fprintf(stderr, "%s\n", summaryBlock(f).c_str());
    report.write(reportJson(f).dump(2) + "\n");   // a failure is the caller's to say
    record(endRecord(f));
    com3.hangUp();
    target.reset();   // a serial device gets its settings back now
    return held;
}

} // namespace

Opened<Relay> Relay::open(const RelayOptions &options, StreamFile &stream)
{
    auto relay = std::make_unique<Carrier>(options, stream);
    if (!relay->open())
        return Opened<Relay>::failed(relay->failure());
    return {std::move(relay), {}};
}
