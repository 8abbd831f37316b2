#include "farend/report/json.h"

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
        out.push_back({{"code", v.code},
                       {"cause", v.cause.empty() ? json() : json(v.cause)},
                       {"figures", figures},
                       {"text", v.text},
                       {"step", v.step}});
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
    return {{"port", s.port.empty() ? json() : json(s.port)},
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
    return {{"median", rounded(s->medianMs, 1e3)},
            {"lan", s->lanMs ? json(rounded(*s->lanMs, 1e3)) : json()},
            {"lan_smoothed", c.lan ? json(rounded(c.lan->smoothedMs, 1e3)) : json()},
            {"wire", rounded(s->wireMs, 1e3)},
            {"rest", s->beforeTheLine ? json() : json(rounded(s->restMs, 1e3))},
            {"answered_before_the_line", s->beforeTheLine}};
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

} // namespace

json reportJson(const RelayFigures &f)
{
    const EchoCounts &e = f.echoes;
    const ChainFacts &c = f.chain;
    json r;
    r["format"] = kRelayReportFormat;
    r["link"] = f.link;
    r["target"] = f.target;
    r["target_kind"] = c.kind;
    r["started"] = wallClockText(f.started);
    r["ended"] = wallClockText(f.ended);
    r["elapsed_s"] = rounded(f.elapsedS, 1e6);
    r["runs"] = f.runs;
    r["bytes"] = {{"to_chain", f.toChain},
                  {"from_chain", f.fromChain},
                  {"to_tester", f.toTester},
                  {"not_taken_by_tester", f.notTaken}};
    r["sends"] = e.sends;
    r["echoed"] = e.echoed;
    r["lost"] = e.lost;
    r["changed"] = e.changed;
    r["extra"] = e.extra;
    r["awaiting"] = f.awaiting;
    r["late"] = e.late;
    r["late_share"] = shareJson(e.late, e.echoed);
    r["outcome"] = outcomeWord(f.outcome);
    r["clean"] = f.outcome == Outcome::NothingTested ? json() : json(f.outcome == Outcome::Clean);
    r["round_trip_ms"] = e.echoed ? ladderJson(*f.roundTrip) : json();
    r["round_trip_histogram_ms"] = histogramJson(*f.roundTrip);
    r["released_by_a_later_send"] = e.released;
    r["reads"] = e.reads;
    r["replies_per_read"] = e.reads ? json(rounded(double(e.replies) / double(e.reads), 1e3))
                                    : json();
    r["tcp"] = tcpJson(c.tcp);
    r["tester_timing"] = testerTimingJson(*f.tester);
    r["device_server"] = deviceServerJson(c);
    r["uart_counters"] = !c.server && !c.reporter.empty() ? lineErrorsJson(c.lineErrors) : json();
    r["time_split_ms"] = splitJson(f.split, c);
    r["speed_match"] = f.mapping ? json(f.mapping->text()) : json();
    r["verdicts"] = verdictsJson(f.verdicts);
    return r;
}

json startRecord(const RelayFigures &f, double intervalS)
{
    return {{"type", "start"},       {"format", kRelayReportFormat},
            {"started", wallClockText(f.started)},
            {"link", f.link},        {"target", f.target},
            {"target_kind", f.chain.kind},
            {"interval_s", intervalS}};
}

json intervalRecord(const IntervalFigures &f)
{
    const RoundTripFigures &rtt = f.roundTrip;
    const EchoCounts &e = f.echoes;
    json r = {{"type", "interval"},
              {"from_s", rounded(f.fromS, 1e3)},
              {"to_s", rounded(f.toS, 1e3)},
              {"to_chain", f.toChain},
              {"from_chain", f.fromChain},
              {"sends", e.sends},
              {"echoed", e.echoed},
              {"lost", e.lost},
              {"changed", e.changed},
              {"extra", e.extra},
              {"late", e.late},
              {"late_share", shareJson(e.late, e.echoed)},
              {"released_by_a_later_send", e.released},
              {"reads", e.reads},
              {"com3_open", f.com3Open},
              {"line_errors", lineErrorsJson(f.lineErrors)},
              {"tcp", tcpJson(f.tcp)},
              {"verdicts", verdictsJson(f.verdicts)}};
    if (rtt.count)
        r["round_trip_ms"] = {{"p50", rounded(rtt.p50Ms, 1e3)},
                              {"p99", rounded(rtt.p99Ms, 1e3)},
                              {"max", rounded(rtt.maxMs, 1e3)}};
    else
        r["round_trip_ms"] = nullptr;
    return r;
}

json runRecord(const RunStart &r)
{
    return {{"type", "run"},
            {"run", r.run},
            {"at_s", rounded(r.atS, 1e3)},
            {"settings", r.settings.baud ? json(r.settings.text()) : json()}};
}

json endRecord(const RelayFigures &f)
{
    json r = {{"type", "end"}};
    r.update(reportJson(f));
    return r;
}
