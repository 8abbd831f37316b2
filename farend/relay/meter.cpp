#include "farend/relay/meter.h"

#include "farend/diagnosis/verdicts.h"

namespace {

// The figures of a span of echoes as the verdicts take them: the whole run or an interval.
ChainFigures chainFigures(const EchoCounts &e, double medianMs, const ChainFacts &chain,
                          const LineSettings &line, const std::optional<SpeedMatch> &speed)
{
    ChainFigures c;
    c.sent = e.sends;
    c.echoed = e.echoed;
    c.lost = e.lost;
    c.changed = e.changed;
    c.extra = e.extra;
    c.late = e.late;
    c.rttMedianMs = e.echoed ? medianMs : -1;
    if (chain.lan)
        c.lanRttMs = chain.lan->minMs;
    c.wireMs = wireTimeMs(line.baud, line.frameBits());
    c.speed = speed;
    c.reporter = chain.reporter;
    return c;
}

// A device server that acknowledged the tester's settings has its port right.
bool portFollows(const ChainFacts &c, const LineSettings &line)
{
    return c.server && c.server->port == line.text();
}

long long modemChanges(const ChainFacts &c)
{
    return c.modemLines ? c.modemLines->changes() : 0;
}

} // namespace

RelayMeter::RelayMeter(std::string link, std::string target, double intervalS, bool expectClean)
    : link(std::move(link)), target(std::move(target)), everyMs(intervalS * 1000.0),
      expectClean(expectClean)
{
}

void RelayMeter::start(double nowMs, const ChainFacts &chain)
{
    startMs = intervalStartMs = nowMs;
    chainAtStart = chain;
}

RunStart RelayMeter::runStarted(double nowMs, const LineSettings &settings)
{
    ++runs;
    echoes.newRun();
    tester.newLine();
    if (settings.baud)
        line = settings;
    speed = SpeedMatcher(line);
    return {runs, seconds(nowMs), settings};
}

void RelayMeter::settingsChanged(const LineSettings &settings)
{
    if (settings.baud && settings != line)
        speed = SpeedMatcher(line = settings);
}

void RelayMeter::reconnected(const ChainFacts &chain)
{
    chainAtStart = chain;
    echoes.newRun();
}

void RelayMeter::fromTester(const std::string &bytes, double atMs)
{
    for (char c : bytes) {
        speed.sent(static_cast<unsigned char>(c), atMs);
        echoes.sent(static_cast<unsigned char>(c), atMs);
        tester.byte(static_cast<unsigned char>(c), atMs);
    }
    toChain += static_cast<long long>(bytes.size());
}

void RelayMeter::fromChain(const std::string &bytes, double atMs)
{
    fromChain_ += static_cast<long long>(bytes.size());
    for (char c : bytes) {
        speed.replied(static_cast<unsigned char>(c), atMs);
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
    f.toChain = toChain - toChainAtStart;
    f.fromChain = fromChain_ - fromChainAtStart;
    f.echoes = echoes.counts() - echoesAtStart;
    const WireTiming &rtt = echoes.recentRoundTrip();
    f.roundTrip = {rtt.gaps(), rtt.quantileMs(0.5), rtt.quantileMs(0.99), rtt.maxMs()};
    f.com3Open = com3Open;
    f.lineErrors = chain.lineErrors.since(chainAtStart.lineErrors);
    // a pass over the window; a search only for a mapping not met before
    const std::optional<SpeedMatch> recognised = speed.recognise(portFollows(chain, line));
    ChainFigures c = chainFigures(f.echoes, f.roundTrip.p50Ms, chain, line, recognised);
    c.lineErrors = f.lineErrors;
    if (chain.modemLines)
        c.modemChanges = modemChanges(chain) - modemChanges(chainAtStart);
    f.verdicts = verdicts(c);
    std::vector<std::string> codes;
    for (const Verdict &v : f.verdicts)
        codes.push_back(v.code);
    f.verdictChanged = codes != lastCodes;
    if (f.traffic())
        lastCodes = codes;
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
    f.speed = speed.recogniseRun(portFollows(chain, line));
    ChainFigures c = chainFigures(f.echoes, f.roundTrip->quantileMs(0.5), chain, line, f.speed);
    c.lineErrors = chain.lineErrors;
    if (chain.modemLines)
        c.modemChanges = modemChanges(chain);
    f.verdicts = verdicts(c);
    if (f.echoes.echoed)
        f.split = splitRoundTrip(c.rttMedianMs, c.lanRttMs, c.wireMs);
    f.expectClean = expectClean;
    return f;
}
