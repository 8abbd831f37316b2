#include "farend/relay/meter.h"

#include "farend/diagnosis/lanrules.h"
#include "farend/diagnosis/naming.h"
#include "farend/diagnosis/verdicts.h"

#include <algorithm>

namespace {

long long modemChanges(const ChainFacts &c)
{
    return c.modemLines ? c.modemLines->changes() : 0;
}

// The TCP port of a "HOST:PORT" or "rfc2217://HOST:PORT" target; empty for a device path.
std::string portOf(const std::string &target)
{
    const std::size_t colon = target.rfind(':');
    return target.empty() || target[0] == '/' || colon == std::string::npos
               ? std::string()
               : target.substr(colon + 1);
}

// The device server's port as far as the relay knows it: the port the replies name, else what
// the device server said of it, else the tester's settings it was asked to take.
LineSettings portLine(const ChainFacts &c, const std::optional<RecognisedMapping> &m,
                      const LineSettings &tester)
{
    if (m && m->explained() && m->named.front().where == Place::ServerPort) {
        LineSettings s = m->named.front().formats.front();
        s.baud = m->named.front().rate;
        return s;
    }
    if (c.server && c.server->port.baud) {
        LineSettings s = c.server->port;
        s.stopBits = std::min(s.stopBits, 2);   // 1.5 stop bits (said as 15) timed as 2
        return s;
    }
    return tester;
}

// Unheld echoes fewer than this say nothing of what an echo takes when nothing holds it.
constexpr long long kUnheldFrom = 8, kBeforeFrom = 3;

// A device server that acknowledged the tester's settings has its port right.
bool portFollows(const ChainFacts &c, const LineSettings &line)
{
    return c.server && c.server->port == line;
}

} // namespace

SpanFigures RelayMeter::span(const Mark &from, const Mark &to, const RoundTrips &rtt,
                             std::optional<RecognisedMapping> mapping) const
{
    SpanFigures s;
    s.echoes = to.echoes - from.echoes;
    const WireTiming &all = rtt.all;
    s.roundTrip.count = all.gaps();
    s.roundTrip.p50Ms = all.quantileMs(0.5);
    s.roundTrip.p99Ms = all.quantileMs(0.99);
    s.roundTrip.maxMs = all.maxMs();
    if (rtt.clearOfLoss.gaps())
        s.roundTrip.clearOfLossP50Ms = rtt.clearOfLoss.quantileMs(0.5);
    // the lower quartile: what an echo takes, less what a busy machine adds now and then; of
    // those that came before any later send could let them go, if lower: others may have been
    // held past the release window
    if (rtt.unheld.gaps() >= kUnheldFrom)
        s.roundTrip.unheldP25Ms = rtt.unheld.quantileMs(0.25);
    if (rtt.beforeLater.gaps() >= kBeforeFrom)
        s.roundTrip.unheldP25Ms = std::min(s.roundTrip.unheldP25Ms.value_or(1e300),
                                           rtt.beforeLater.quantileMs(0.25));
    s.toChain = to.toChain - from.toChain;
    s.fromChain = to.fromChain - from.fromChain;
    s.line = line;
    s.periodMs = recogniser.periodMs().value_or(0);
    const ChainFacts &c = to.chain;
    if (c.lan)
        s.lanRttMs = c.lan->minMs;
    s.releaseSlackMs = echoes.releaseSlackMs();
    if (c.tcp)
        s.tcp = *c.tcp - from.chain.tcp.value_or(TcpCounts{});
    if (c.server)
        s.server = c.server->signature.substr(0, c.server->signature.find(' '));
    s.rfc2217 = c.kind == "RFC 2217";
    s.serverPort = portOf(target);
    s.reporter = c.reporter;
    s.lineErrors = c.lineErrors.since(from.chain.lineErrors);
    if (c.modemLines)
        s.modemChanges = modemChanges(c) - modemChanges(from.chain);
    s.mapping = std::move(mapping);
    s.wireLine = portLine(c, s.mapping, line);
    s.wireMs = wireTimeMs(s.wireLine.baud, s.wireLine.frameBits());
    s.cyclesRead = recogniser.cyclesRead();
    s.changedLately = recogniser.changedLately();
    if (s.echoes.echoed) {
        // held for later sends: without an unheld echo to go by, the least one could take
        const double least = s.lanRttMs.value_or(0) + s.wireMs;
        const HeldUp heldUp{s.roundTrip.clearOfLossP50Ms,
                            holdsEchoes(s) ? std::optional<double>(
                                                 s.roundTrip.unheldP25Ms.value_or(least))
                                           : std::nullopt};
        s.split = splitRoundTrip(s.roundTrip.p50Ms, s.lanRttMs, s.wireMs, heldUp);
    }
    return s;
}

void RelayMeter::lanFrom(const ChainFacts &chain)
{
    if (chain.lan)
        echoes.setLanMs(chain.lan->minMs);
}

RelayMeter::RelayMeter(std::string link, std::string target, double intervalS)
    : link(std::move(link)), target(std::move(target)), everyMs(intervalS * 1000.0)
{
}

void RelayMeter::start(double nowMs, const ChainFacts &chain)
{
    startMs = intervalStartMs = nowMs;
    started = std::chrono::system_clock::now();
    intervalStart.chain = chain;
    lanFrom(chain);
}

RunStart RelayMeter::runStarted(double nowMs, const LineSettings &settings)
{
    ++runs;
    echoes.newRun();
    tester.newLine();
    if (settings.baud)
        line = settings;
    recogniser = MappingRecogniser(line);
    return {runs, seconds(nowMs), settings};
}

void RelayMeter::settingsChanged(const LineSettings &settings)
{
    if (settings.baud && settings != line)
        recogniser = MappingRecogniser(line = settings);
}

void RelayMeter::reconnected(const ChainFacts &chain)
{
    intervalStart.chain = chain;
    lastTcp.reset();
    lanFrom(chain);
    echoes.newRun();
}

void RelayMeter::fromTester(const std::string &bytes, double atMs)
{
    echoes.round(atMs);
    for (char c : bytes) {
        recogniser.sent(static_cast<unsigned char>(c), atMs);
        echoes.sent(static_cast<unsigned char>(c), atMs);
        tester.byte(static_cast<unsigned char>(c), atMs);
    }
    toChain += static_cast<long long>(bytes.size());
}

void RelayMeter::lanCounts(const std::optional<TcpCounts> &now)
{
    if (now && lastTcp &&
        now->retransmitted + now->outOfOrder > lastTcp->retransmitted + lastTcp->outOfOrder)
        echoes.lossSeen();
    lastTcp = now;
}

void RelayMeter::fromChain(const std::string &bytes, double atMs)
{
    fromChain_ += static_cast<long long>(bytes.size());
    echoes.read(bytes.size());
    for (char c : bytes) {
        recogniser.replied(static_cast<unsigned char>(c), atMs);
        echoes.replied(static_cast<unsigned char>(c), atMs);
    }
}

double RelayMeter::intervalEndMs() const
{
    return everyMs > 0 ? intervalStartMs + everyMs : -1;
}

bool RelayMeter::intervalDue(double nowMs, bool last) const
{
    return everyMs > 0 && (last ? nowMs > intervalStartMs : nowMs >= intervalStartMs + everyMs);
}

IntervalFigures RelayMeter::closeInterval(double nowMs, bool last, bool com3Open,
                                          const ChainFacts &chain)
{
    const double endMs = last ? nowMs : intervalStartMs + everyMs;
    IntervalFigures f;
    f.fromS = seconds(intervalStartMs);
    f.toS = seconds(endMs);
    f.last = last;
    f.com3Open = com3Open;
    // a pass over the window; a search only for a mapping not met before
    std::optional<RecognisedMapping> recognised = recogniser.recognise(portFollows(chain, line));
    lanFrom(chain);
    const Mark end = markNow(chain);
    f.span = span(intervalStart, end, echoes.recentRoundTrips(), std::move(recognised));
    f.verdicts = verdicts(f.span);
    std::vector<std::pair<std::string, std::string>> said;
    for (const Verdict &v : f.verdicts)
        said.emplace_back(v.code, v.cause);
    f.verdictChanged = said != lastSaid;
    if (f.traffic())
        lastSaid = said;
    echoes.clearRecent();
    intervalStart = end;
    intervalStartMs = endMs;
    return f;
}

RelayFigures RelayMeter::figures(double nowMs, const ChainFacts &chain) const
{
    RelayFigures f;
    f.link = link;
    f.target = target;
    f.started = started;
    f.ended = std::chrono::system_clock::now();
    f.elapsedS = seconds(nowMs);
    f.runs = runs;
    f.span = span(Mark{}, markNow(chain), echoes.roundTrips(),
                  recogniser.recogniseRun(portFollows(chain, line)));
    f.toTester = toTester_;
    f.notTaken = notTaken_;
    f.awaiting = echoes.waiting();
    f.roundTrip = &echoes.roundTrip();
    f.tester = &tester;
    f.chain = chain;
    if (f.span.mapping)
        f.mapping = mappingText(*f.span.mapping);
    f.verdicts = verdicts(f.span);
    f.outcome = outcome(chain);
    return f;
}

Outcome RelayMeter::outcome(const ChainFacts &chain) const
{
    if (echoes.counts().sends == 0)
        return Outcome::NothingTested;
    return echoes.counts().clean() && !chain.lineErrors.anyError() ? Outcome::Clean
                                                                    : Outcome::NotClean;
}
