#include "farend/relay/meter.h"

#include "farend/diagnosis/verdicts.h"

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

// A device server that acknowledged the tester's settings has its port right.
bool portFollows(const ChainFacts &c, const LineSettings &line)
{
    return c.server && c.server->port == line.text();
}

} // namespace

ChainFigures RelayMeter::chainFigures(const EchoCounts &e, const RoundTripFigures &rtt,
                                      const ChainFacts &chain,
                                      const std::optional<RecognisedMapping> &recognised) const
{
    ChainFigures c;
    c.sent = e.sends;
    c.echoed = e.echoed;
    c.lost = e.lost;
    c.changed = e.changed;
    c.extra = e.extra;
    c.late = e.late;
    c.released = e.released;
    c.reads = e.reads;
    c.replies = e.replies;
    c.rttMedianMs = e.echoed ? rtt.p50Ms : -1;
    c.rttP99Ms = e.echoed ? rtt.p99Ms : -1;
    if (chain.lan)
        c.lanRttMs = chain.lan->minMs;
    c.wireMs = wireTimeMs(line.baud, line.frameBits());
    c.line = line.text();
    c.periodMs = tester.period().gaps() ? tester.period().medianMs() : 0;
    c.mapping = recognised;
    c.cyclesRead = recogniser.cyclesRead();
    c.reporter = chain.reporter;
    c.rfc2217 = chain.kind == "RFC 2217";
    if (chain.server)
        c.server = chain.server->signature.substr(0, chain.server->signature.find(' '));
    c.serverPort = portOf(target);
    return c;
}

void RelayMeter::lanFrom(const ChainFacts &chain)
{
    if (chain.lan)
        echoes.setLanMs(chain.lan->minMs);
}

RelayMeter::RelayMeter(std::string link, std::string target, double intervalS, bool expectClean)
    : link(std::move(link)), target(std::move(target)), everyMs(intervalS * 1000.0),
      expectClean(expectClean)
{
}

void RelayMeter::start(double nowMs, const ChainFacts &chain)
{
    startMs = intervalStartMs = nowMs;
    started = std::chrono::system_clock::now();
    chainAtStart = chain;
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
    chainAtStart = chain;
    lanFrom(chain);
    echoes.newRun();
}

void RelayMeter::fromTester(const std::string &bytes, double atMs)
{
    for (char c : bytes) {
        recogniser.sent(static_cast<unsigned char>(c), atMs);
        echoes.sent(static_cast<unsigned char>(c), atMs);
        tester.byte(static_cast<unsigned char>(c), atMs);
    }
    toChain += static_cast<long long>(bytes.size());
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
    f.toChain = toChain - toChainAtStart;
    f.fromChain = fromChain_ - fromChainAtStart;
    f.echoes = echoes.counts() - echoesAtStart;
    const WireTiming &rtt = echoes.recentRoundTrip();
    f.roundTrip = {rtt.gaps(), rtt.quantileMs(0.5), rtt.quantileMs(0.99), rtt.maxMs()};
    f.com3Open = com3Open;
    f.lineErrors = chain.lineErrors.since(chainAtStart.lineErrors);
    if (chain.tcp)
        f.tcp = *chain.tcp - chainAtStart.tcp.value_or(TcpCounts{});
    // a pass over the window; a search only for a mapping not met before
    const std::optional<RecognisedMapping> recognised = recogniser.recognise(portFollows(chain, line));
    lanFrom(chain);
    ChainFigures c = chainFigures(f.echoes, f.roundTrip, chain, recognised);
    c.lineErrors = f.lineErrors;
    c.tcp = f.tcp;
    if (chain.modemLines)
        c.modemChanges = modemChanges(chain) - modemChanges(chainAtStart);
    f.verdicts = verdicts(c);
    std::vector<std::pair<std::string, std::string>> said;
    for (const Verdict &v : f.verdicts)
        said.emplace_back(v.code, v.cause);
    f.verdictChanged = said != lastSaid;
    if (f.traffic())
        lastSaid = said;
    chainAtStart = chain;
    echoes.clearRecent();
    echoesAtStart = echoes.counts();
    toChainAtStart = toChain;
    fromChainAtStart = fromChain_;
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
    f.toChain = toChain;
    f.fromChain = fromChain_;
    f.toTester = toTester_;
    f.notTaken = notTaken_;
    f.echoes = echoes.counts();
    f.awaiting = echoes.waiting();
    f.roundTrip = &echoes.roundTrip();
    f.tester = &tester;
    f.chain = chain;
    f.line = line;
    f.mapping = recogniser.recogniseRun(portFollows(chain, line));
    const WireTiming &rtt = *f.roundTrip;
    ChainFigures c = chainFigures(
        f.echoes, {rtt.gaps(), rtt.quantileMs(0.5), rtt.quantileMs(0.99), rtt.maxMs()}, chain,
        f.mapping);
    c.lineErrors = chain.lineErrors;
    c.tcp = chain.tcp;
    if (chain.modemLines)
        c.modemChanges = modemChanges(chain);
    f.verdicts = verdicts(c);
    if (f.echoes.echoed)
        f.split = splitRoundTrip(c.rttMedianMs, c.lanRttMs, c.wireMs);
    f.outcome = outcome(chain);
    f.expectClean = expectClean;
    return f;
}

Outcome RelayMeter::outcome(const ChainFacts &chain) const
{
    if (echoes.counts().sends == 0)
        return Outcome::NothingTested;
    return echoes.counts().clean() && !chain.lineErrors.anyError() ? Outcome::Clean
                                                                    : Outcome::NotClean;
}
