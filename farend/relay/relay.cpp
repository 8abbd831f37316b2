// The carrying loop: bytes from COM3 to the target and back, each step handed to the meter, the
// figures rendered where they go (interval lines, the stream, the summary, the report).
#include "farend/relay/relay.h"

#include "farend/io/transport.h"
#include "farend/relay/com3pty.h"
#include "farend/relay/meter.h"
#include "farend/relay/metricsfeed.h"
#include "farend/relay/targets.h"
#include "farend/report/json.h"
#include "farend/report/lines.h"
#include "farend/report/summary.h"
#include "farend/report/tally.h"
#include "farend/text/prose.h"
#include "serial/clock.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr double kReconnectEveryMs = 1000;

// What one poll found: the target's and COM3's descriptors, each where it was polled.
struct Polled {
    pollfd fds[2];
    pollfd *target = nullptr, *com3 = nullptr;
    // Whether poll() said `p` has something: what was not polled is asked anyway.
    static bool readable(const pollfd *p)
    {
        return !p || (p->revents & (POLLIN | POLLPRI | POLLHUP | POLLERR));
    }
};

class Carrier : public Relay, public Fallible {
public:
    Carrier(const RelayOptions &options, StreamFile &stream)
        : options(options), stream(stream), com3(options.linkPath, options.access),
          meter(options.linkPath, options.target, options.intervalS)
    {
    }

    // Opens the target and makes COM3; false with failure() saying why not.
    bool open();
    RunEnd run(ReportFile &report, const RelayAsks &asks,
               const std::function<int(const RunEnd &)> &statusOf) override;

private:
    // Why the relay is to end now, if it is: asked to stop, or at its --time or --count; prints
    // what the signals asked for meanwhile.
    std::optional<EndedBy> ending(const RelayAsks &asks);
    // Carries bytes until it ends (true) or the target goes away (false: its error says how).
    bool carry(const RelayAsks &asks);
    // Waits for either side, at most until the next interval line is due.
    void wait(Polled &p);
    // What the tester wrote, to the target; false when the target went away.
    bool fromTester(const Polled &p, double now);
    // What the target sent, to the tester; false when the target went away.
    bool fromChain(const Polled &p);
    void toTester(const std::string &replies);
    void testerOpened(double now);
    // Data the target sent before it was ready has no one to read it: counted, not carried.
    void dropEarlyData();
    // Waits for the target to come back, with COM3 hung up meanwhile.
    enum class Reconnected { Yes, Stopped, Failed };
    Reconnected reconnect(const RelayAsks &asks);
    // Ends every interval due by `nowMs` (and, with `last`, the one under way).
    void intervals(double nowMs, bool last = false);
    RelayFigures figures() const;
    ScrapeFigures scrape() const
    {
        return scrapeOf(figures(), com3.testerOpen(), lastInterval);
    }
    void summary() const;
    // Says where COM3 is and who may open it.
    void sayWhere(const char *again) const;
    void emit(FILE *to, const std::string &text) const;
    // Writes a record to the stream; says so, once, when that fails.
    void record(const nlohmann::ordered_json &r);

    const RelayOptions &options;
    StreamFile &stream;
    FILE *lines = nullptr;   // where the interval lines go; null: nowhere
    Com3Pty com3;
    std::unique_ptr<Target> target;
    RelayMeter meter;
    std::string outbox;   // replies COM3 has not taken yet
    double startMs = 0;
    std::optional<EndedBy> endedBy;   // why the run ended, once it did
    const std::function<int(const RunEnd &)> *statusOf = nullptr;   // main's, while it runs
    std::unique_ptr<MetricsFeed> metrics;   // --metrics
    std::optional<IntervalFigures> lastInterval;   // what a scrape shows in force
};

void Carrier::emit(FILE *to, const std::string &text) const
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

RelayFigures Carrier::figures() const
{
    ChainFacts chain;
    if (target)
        target->describe(chain);
    RelayFigures f = meter.figures(monotonicMs(), chain);
    f.endedBy = endedBy;
    if (statusOf)
        f.exitStatus = (*statusOf)({endedBy.value_or(EndedBy::Interrupted), f.outcome});
    return f;
}

void Carrier::summary() const
{
    std::fprintf(stderr, "%s\n", summaryBlock(figures()).c_str());
}

void Carrier::sayWhere(const char *again) const
{
    std::fprintf(stderr, "farend: relaying %s to %s%s\nfarend: %s is %s\n",
                 options.linkPath.c_str(), options.target.c_str(), again,
                 options.linkPath.c_str(), com3.describe().c_str());
    if (!*again)   // the first screen says once what comes next
        std::fputs(wrapped("farend: ",
                           "waiting for a tester to open " + options.linkPath +
                               " (start looptest); Ctrl+C ends with the summary",
                           8)
                       .c_str(),
                   stderr);
}

std::optional<EndedBy> Carrier::ending(const RelayAsks &asks)
{
    if (asks.summary())
        summary();
    if (asks.tally())
        std::fprintf(stderr, "%s\n", tallyLine(figures()).c_str());
    if (metrics && metrics->asked())
        metrics->give(scrape());
    if (asks.stop())
        return EndedBy::Interrupted;
    if (options.timeS > 0 && monotonicMs() - startMs >= options.timeS * 1000)
        return EndedBy::TimeLimit;
    const EchoCounts &e = meter.counts();
    if (options.count > 0 && e.echoed + e.lost + e.changed >= options.count)
        return EndedBy::CountReached;
    return std::nullopt;
}

void Carrier::intervals(double nowMs, bool last)
{
    while (meter.intervalDue(nowMs, last)) {
        ChainFacts now;
        target->describe(now);   // a local UART's counters are read here, once an interval
        const IntervalFigures f = meter.closeInterval(nowMs, last, com3.testerOpen(), now);
        emit(lines, intervalLine(f));
        if (metrics)
            lastInterval = f;
        record(intervalRecord(f));
        if (last)
            break;
    }
}

void Carrier::testerOpened(double now)
{
    const LineSettings settings = com3.settings();
    target->follow(settings);   // the settings found at open, if packet mode said none
    target->newRun();
    const RunStart r = meter.runStarted(now, settings);
    emit(lines, runLine(r));
    record(runRecord(r));
}

void Carrier::dropEarlyData()
{
    std::string early;
    if (target->hasHeld() && target->read(early))
        meter.early(early.size());
}

void Carrier::toTester(const std::string &replies)
{
    if (!com3.testerOpen()) {
        meter.notTaken(replies.size() + outbox.size());   // no one to read them
        outbox.clear();
        return;
    }
    const std::size_t room = kOutboxLimit - std::min(kOutboxLimit, outbox.size());
    outbox.append(replies, 0, room);
    if (replies.size() > room)
        meter.notTaken(replies.size() - room);
    if (outbox.empty())
        return;
    const long n = com3.write(outbox);
    if (n > 0) {
        meter.toTester(static_cast<std::size_t>(n));
        outbox.erase(0, static_cast<std::size_t>(n));
    }
}

void Carrier::wait(Polled &p)
{
    nfds_t n = 0;
    const int targetFd = target->fd();
    if (targetFd >= 0) {
        p.target = &p.fds[n++];
        *p.target = {targetFd, static_cast<short>(POLLIN | (target->hasQueued() ? POLLOUT : 0)),
                     0};
    }
    const bool open = com3.testerOpen();
    if (open) {
        p.com3 = &p.fds[n++];
        // POLLPRI: packet mode's news of changed settings
        *p.com3 = {com3.fd(),
                   static_cast<short>(POLLIN | POLLPRI | (outbox.empty() ? 0 : POLLOUT)), 0};
    }
    // a closed COM3 hangs up all the time: it is looked at every 10 ms instead
    int timeout = targetFd < 0 || !outbox.empty() ? 1 : open ? 50 : 10;
    if (const double due = meter.intervalEndMs(); due >= 0)   // the interval's line on time
        timeout = std::min<double>(timeout, std::max(0.0, due - monotonicMs()) + 1);
    if (options.timeS > 0)   // and the end at --time
        timeout = std::min<double>(
            timeout, std::max(0.0, startMs + options.timeS * 1000 - monotonicMs()) + 1);
    poll(p.fds, n, timeout);
}

bool Carrier::fromTester(const Polled &p, double now)
{
    // only what poll() said is readable is read: a relay that waits costs no system calls
    const bool opened = !p.com3 && com3.checkOpen();
    if (opened)
        testerOpened(now);
    std::string bytes;
    bool changed = false;
    if (com3.testerOpen() && (opened || Polled::readable(p.com3)) && !com3.read(bytes, changed))
        outbox.clear();   // the run has ended; the next open is a new one
    if (changed) {
        target->follow(com3.settings());
        meter.settingsChanged(com3.settings());
    }
    meter.fromTester(bytes, now);
    return (bytes.empty() && !target->hasQueued()) || target->write(bytes);
}

bool Carrier::fromChain(const Polled &p)
{
    std::string bytes;
    const bool held =
        !(Polled::readable(p.target) || target->hasHeld()) || target->read(bytes);
    if (const std::string notice = target->takeNotice(); !notice.empty())
        std::fprintf(stderr, "farend: %s\n", notice.c_str());
    const double at = monotonicMs();
    meter.fromChain(bytes, at);
    toTester(bytes);
    meter.expire(at);
    intervals(at);
    return held;
}

bool Carrier::carry(const RelayAsks &asks)
{
    while (!(endedBy = ending(asks))) {
        if (target->failed())   // as when it failed before the loop: the same, whenever
            return false;
        Polled p;
        wait(p);
        if (!fromTester(p, monotonicMs()) || !fromChain(p))
            return false;
    }
    return true;
}

Carrier::Reconnected Carrier::reconnect(const RelayAsks &asks)
{
    std::fprintf(stderr, "farend: waiting for %s again\n", options.target.c_str());
    std::unique_ptr<Target> again;
    double nextTry = monotonicMs() + kReconnectEveryMs;
    while (!again && !(endedBy = ending(asks))) {
        intervals(monotonicMs());
        if (monotonicMs() < nextTry) {
            usleep(50000);
            continue;
        }
        nextTry = monotonicMs() + kReconnectEveryMs;
        again = std::move(openTarget(options.target).value);
    }
    if (!again)
        return Reconnected::Stopped;
    target = std::move(again);
    ChainFacts chain;
    target->describe(chain);   // the new connection counts from nothing
    dropEarlyData();
    meter.reconnected(chain);
    outbox.clear();
    if (!com3.make()) {
        std::fprintf(stderr, "farend: %s\n", com3.failure().c_str());
        endedBy = EndedBy::Com3Failed;
        return Reconnected::Failed;
    }
    sayWhere(" again");
    return Reconnected::Yes;
}

bool Carrier::open()
{
    if (!com3.linkFree())
        return fail(com3.error());
    if (!options.metrics.empty()) {
        Opened<MetricsFeed> feed = MetricsFeed::open(options.metrics);
        if (!feed)
            return fail(feed.error);
        metrics = std::move(feed.value);
    }
    Opened<Target> opened = openTarget(options.target);
    if (!opened)
        return fail(opened.error);
    target = std::move(opened.value);
    if (!com3.make())
        return fail(com3.error());
    if (!com3.replaced().empty())
        std::fprintf(stderr, "farend: %s led to %s, which is gone: link replaced\n",
                     options.linkPath.c_str(), com3.replaced().c_str());
    return true;
}

RunEnd Carrier::run(ReportFile &report, const RelayAsks &asks,
                   const std::function<int(const RunEnd &)> &statusOf)
{
    this->statusOf = &statusOf;
    if (options.intervalS > 0)
        lines = stream.onStandardOutput() ? stderr : stdout;
    sayWhere("");
    if (metrics)
        std::fprintf(stderr, "farend: metrics at %s\n", metrics->url().c_str());
    startMs = monotonicMs();
    ChainFacts chain;
    target->describe(chain);
    meter.start(startMs, chain);
    dropEarlyData();
    record(startRecord(figures(), options.intervalS));
    emit(lines, intervalHeader());
    while (!carry(asks)) {
        com3.hangUp();   // as a redirector whose connection is gone: the tester's port fails
        std::fprintf(stderr, "farend: %s: %s hung up\n", target->failure().c_str(),
                     options.linkPath.c_str());
        endedBy = target->error().code == Errc::Closed ? EndedBy::TargetClosed
                                                       : EndedBy::TargetFailed;
        // a stop while it waits for the target again ends the run as a stop at any time does
        if (!options.reconnect || reconnect(asks) != Reconnected::Yes)
            break;
    }
    double end = monotonicMs();
    if (options.timeS > 0)   // the last interval ends at --time, not at the wake-up after it
        end = std::min(end, startMs + options.timeS * 1000);
    meter.settle(end);
    intervals(end, true);
    const RelayFigures f = figures();
    if (metrics)   // the last scrapes see the figures the report gives
        metrics->give(scrapeOf(f, com3.testerOpen(), lastInterval), true);
    std::fprintf(stderr, "%s\n", summaryBlock(f).c_str());
    report.write(reportJson(f).dump(2) + "\n");   // a failure is the caller's to say
    record(endRecord(f));
    com3.hangUp();
    target.reset();   // a serial device gets its settings back now
    this->statusOf = nullptr;
    return {*f.endedBy, f.outcome};
}

} // namespace

Opened<Relay> Relay::open(const RelayOptions &options, StreamFile &stream)
{
    auto relay = std::make_unique<Carrier>(options, stream);
    if (!relay->open())
        return Opened<Relay>::failed(relay->error());
    return {std::move(relay), {}};
}
