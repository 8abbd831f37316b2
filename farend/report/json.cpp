#include "farend/report/json.h"

#include "farend/figures/fields.h"
#include "farend/report/timing.h"

namespace {

using json = nlohmann::ordered_json;

// A count, or null where it was not reported.
json countJson(const std::optional<long long> &n)
{
    return n ? json(*n) : json();
}

json figureJson(const FigureValue &v)
{
    if (const long long *n = std::get_if<long long>(&v))
        return *n;
    if (const double *d = std::get_if<double>(&v))
        return rounded(*d, 1e6);
    return nullptr;
}

json verdictsJson(const std::vector<Verdict> &vs)
{
    json out = json::array();
    for (const Verdict &v : vs) {
        json figures = json::object();
        for (const Figure &f : v.figures)
            figures[f.name] = figureJson(f.value);
        out.push_back({{field::code, v.code},
                       {field::cause, v.cause.empty() ? json() : json(v.cause)},
                       {field::figures, figures},
                       {field::text, v.text},
                       {field::step, v.step}});
    }
    return out;
}

// Null when nothing was reported; otherwise a UART's four errors and a driver's own counts,
// each null where it was not reported.
json lineErrorsJson(const LineErrorCounts &l)
{
    if (!l.reported())
        return nullptr;
    return {{"framing", countJson(l.framing)},        {"parity", countJson(l.parity)},
            {"overrun", countJson(l.overrun)},        {"break", countJson(l.breaks)},
            {"buffer_overrun", countJson(l.bufferOverrun)}, {"rx", countJson(l.rx)},
            {"tx", countJson(l.tx)}};
}

// Null for a target without a connection the kernel counts.
json tcpJson(const std::optional<TcpCounts> &t)
{
    if (!t)
        return nullptr;
    return {{"retransmitted", t->retransmitted},
            {"out_of_order", t->outOfOrder},
            {"bytes_received", t->bytesIn},
            {"segments_received", t->segmentsIn}};
}

// A share of counts, null where the whole is none.
json shareJson(long long part, long long whole)
{
    return whole ? json(rounded(static_cast<double>(part) / static_cast<double>(whole), 1e6))
                 : json();
}

json modemJson(const std::optional<ModemLineCounts> &m)
{
    if (!m)
        return nullptr;
    return {{"changes", m->changes()}, {"cts", m->cts}, {"dsr", m->dsr}, {"cd", m->cd},
            {"ri", m->ri},             {"last_state", m->last ? json(*m->last) : json()}};
}

json deviceServerJson(const ChainFacts &c)
{
    if (!c.server)
        return nullptr;
    const ServerFacts &s = *c.server;
    return {{"port", s.port.baud ? json(s.port.text()) : json()},
            {"not_acknowledged", s.notAcknowledged},
            {"signature", s.signature.empty() ? json() : json(s.signature)},
            {"line_errors", lineErrorsJson(c.lineErrors)},
            {"modem_lines", modemJson(c.modemLines)},
            {"purges", s.purges},
            {"suspensions", s.suspensions},
            {"suspended_s", rounded(s.suspendedMs / 1000.0, 1e3)},
            {"answered_otherwise", s.answeredOtherwise},
            {"non_standard", s.nonStandard},
            {"unparsed", s.unparsed},
            {"abandoned_subnegotiations", s.abandoned},
            {"discarded_bytes", s.discarded}};
}

json testerTimingJson(const TesterWatch &w)
{
    return {{"bytes", w.bytes()},
            {"test_cycle", cycleWord(w)},
            {"broken_at_byte", brokenAtJson(w)},
            {"first_to_last_s", rounded(w.firstToLastMs() / 1000.0, 1e6)},
            {"period_ms", ladderJson(w.period())},
            {"gaps_over_twice_median", w.period().longGaps()},
            {"gap_histogram_ms", histogramJson(w.period())}};
}

json splitJson(const std::optional<TimeSplit> &s, const ChainFacts &c)
{
    if (!s)
        return nullptr;
    const json lan = s->lanMs ? json(rounded(*s->lanMs, 1e3)) : json();
    const json rest = s->beforeTheLine ? json() : json(rounded(s->restMs, 1e3));
    json parts = {{"lan", lan},
                  {"retransmits", rounded(s->retransmitsMs, 1e3)},
                  {"held", rounded(s->heldMs, 1e3)},
                  {"wire", rounded(s->wireMs, 1e3)},
                  {"rest", rest}};
    return {{"median", rounded(s->medianMs, 1e3)},
            {"lan", lan},
            {"lan_smoothed", c.lan ? json(rounded(c.lan->smoothedMs, 1e3)) : json()},
            {"wire", rounded(s->wireMs, 1e3)},
            {"rest", rest},
            {"answered_before_the_line", s->beforeTheLine},
            {"parts", parts}};
}

const char *outcomeWord(Outcome o)
{
    switch (o) {
    case Outcome::Clean:
        return "clean";
    case Outcome::NotClean:
        return "not clean";
    case Outcome::NothingTested:
        break;
    }
    return "nothing tested";
}

// Why the run ended; null while it goes on.
json endedByJson(std::optional<EndedBy> by)
{
    if (!by)
        return nullptr;
    switch (*by) {
    case EndedBy::Interrupted:
        return "interrupted";
    case EndedBy::TimeLimit:
        return "time limit";
    case EndedBy::CountReached:
        return "count reached";
    case EndedBy::TargetClosed:
        return "target closed";
    case EndedBy::TargetFailed:
        return "target failed";
    case EndedBy::Com3Failed:
        break;
    }
    return "COM3 failed";
}

} // namespace

json reportJson(const RelayFigures &f)
{
    const SpanFigures &run = f.span;
    const EchoCounts &e = run.echoes;
    const ChainFacts &c = f.chain;
    json r;
    r[field::format] = kRelayReportFormat;
    r[field::link] = f.link;
    r[field::target] = f.target;
    r[field::targetKind] = c.kind;
    r[field::started] = wallClockText(f.started);
    r[field::ended] = wallClockText(f.ended);
    r[field::endedBy] = endedByJson(f.endedBy);
    r[field::elapsedS] = rounded(f.elapsedS, 1e6);
    r[field::runs] = f.runs;
    r[field::bytes] = {{field::toChain, run.toChain},
                       {field::fromChain, run.fromChain},
                       {"to_tester", f.toTester},
                       {"not_taken_by_tester", f.notTaken}};
    r[field::sends] = e.sends;
    r[field::echoed] = e.echoed;
    r[field::lost] = e.lost;
    r[field::changed] = e.changed;
    r[field::extra] = e.extra;
    r[field::awaiting] = f.awaiting;
    r[field::late] = e.late;
    r[field::lateShare] = shareJson(e.late, e.echoed);
    r[field::outcome] = outcomeWord(f.outcome);
    r[field::clean] =
        f.outcome == Outcome::NothingTested ? json() : json(f.outcome == Outcome::Clean);
    r[field::roundTripMs] = e.echoed ? ladderJson(*f.roundTrip) : json();
    r[field::roundTripHistogramMs] = histogramJson(*f.roundTrip);
    r[field::released] = e.released;
    r[field::afterALaterSend] = e.afterALaterSend;
    r[field::releaseSlackMs] = rounded(run.releaseSlackMs, 1e3);
    r[field::behindALoss] = e.behindLoss;
    r[field::reads] = e.reads;
    r[field::repliesPerRead] =
        e.reads ? json(rounded(double(e.replies) / double(e.reads), 1e3)) : json();
    r[field::tcp] = tcpJson(c.tcp);
    r[field::testerTiming] = testerTimingJson(*f.tester);
    r[field::deviceServer] = deviceServerJson(c);
    r[field::uartCounters] =
        !c.server && !c.reporter.empty() ? lineErrorsJson(c.lineErrors) : json();
    r[field::timeSplitMs] = splitJson(run.split, c);
    r[field::speedMatch] = f.mapping ? json(*f.mapping) : json();
    r[field::verdicts] = verdictsJson(f.verdicts);
    return r;
}

json startRecord(const RelayFigures &f, double intervalS)
{
    return {{field::type, field::start},
            {field::format, kRelayReportFormat},
            {field::started, wallClockText(f.started)},
            {field::link, f.link},
            {field::target, f.target},
            {field::targetKind, f.chain.kind},
            {field::intervalS, intervalS}};
}

json intervalRecord(const IntervalFigures &f)
{
    const SpanFigures &s = f.span;
    const RoundTripFigures &rtt = s.roundTrip;
    const EchoCounts &e = s.echoes;
    json r = {{field::type, field::interval},
              {field::fromS, rounded(f.fromS, 1e3)},
              {field::toS, rounded(f.toS, 1e3)},
              {field::toChain, s.toChain},
              {field::fromChain, s.fromChain},
              {field::sends, e.sends},
              {field::echoed, e.echoed},
              {field::lost, e.lost},
              {field::changed, e.changed},
              {field::extra, e.extra},
              {field::late, e.late},
              {field::lateShare, shareJson(e.late, e.echoed)},
              {field::released, e.released},
              {field::afterALaterSend, e.afterALaterSend},
              {field::behindALoss, e.behindLoss},
              {field::reads, e.reads},
              {field::com3Open, f.com3Open},
              {field::lineErrors, lineErrorsJson(s.lineErrors)},
              {field::tcp, tcpJson(s.tcp)},
              {field::verdicts, verdictsJson(f.verdicts)}};
    if (rtt.count)
        r[field::roundTripMs] = {{field::p50, rounded(rtt.p50Ms, 1e3)},
                                 {field::p99, rounded(rtt.p99Ms, 1e3)},
                                 {field::max, rounded(rtt.maxMs, 1e3)}};
    else
        r[field::roundTripMs] = nullptr;
    return r;
}

json runRecord(const RunStart &r)
{
    return {{field::type, field::run},
            {field::run, r.run},
            {field::atS, rounded(r.atS, 1e3)},
            {field::settings, r.settings.baud ? json(r.settings.text()) : json()}};
}

json endRecord(const RelayFigures &f)
{
    json r = {{field::type, field::end}};
    r.update(reportJson(f));
    return r;
}
