#include "farend/report/json.h"

#include "farend/report/timing.h"

namespace {

using json = nlohmann::ordered_json;

json verdictsJson(const std::vector<Verdict> &vs)
{
    json out = json::array();
    for (const Verdict &v : vs) {
        json figures = json::object();
        for (const auto &[name, value] : v.figures)
            figures[name] = rounded(value, 1e6);
        out.push_back({{"code", v.code}, {"figures", figures}, {"text", v.text}});
    }
    return out;
}

// Null when nothing was reported; otherwise the four a UART counts, and the driver's own
// counts where they were reported, or with `everyCount` as 0 where they were not.
json lineErrorsJson(const LineErrorCounts &l, bool everyCount)
{
    if (!l.reported())
        return nullptr;
    json out = {{"framing", l.framing.value_or(0)},
                {"parity", l.parity.value_or(0)},
                {"overrun", l.overrun.value_or(0)},
                {"break", l.breaks.value_or(0)}};
    for (const auto &[name, count] : {std::pair{"buffer_overrun", l.bufferOverrun},
                                      std::pair{"rx", l.rx}, std::pair{"tx", l.tx}})
        if (count || everyCount)
            out[name] = count.value_or(0);
    return out;
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
            {"line_errors", lineErrorsJson(c.lineErrors, false)},
            {"modem_lines", modemJson(c.modemLines)},
            {"purges", s.purges},
            {"suspensions", s.suspensions},
            {"suspended_s", rounded(s.suspendedMs / 1000.0, 1e3)},
            {"answered_otherwise", s.answeredOtherwise},
            {"non_standard", s.nonStandard},
            {"unparsed", s.unparsed}};
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
            {"rest", rounded(s->restMs, 1e3)}};
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
    r["late_share"] = e.echoed ? rounded(static_cast<double>(e.late) / e.echoed, 1e6) : 0.0;
    r["clean"] = e.clean();
    r["round_trip_ms"] = ladderJson(*f.roundTrip);
    r["round_trip_histogram_ms"] = histogramJson(*f.roundTrip);
    r["tester_timing"] = testerTimingJson(*f.tester);
    r["device_server"] = deviceServerJson(c);
    r["uart_counters"] =
        !c.server && !c.reporter.empty() ? lineErrorsJson(c.lineErrors, false) : json();
    r["time_split_ms"] = splitJson(f.split, c);
    r["speed_match"] = f.speed ? json(f.speed->text()) : json();
    r["verdicts"] = verdictsJson(f.verdicts);
    return r;
}

json startRecord(const RelayFigures &f, double intervalS)
{
    return {{"type", "start"},       {"format", kRelayReportFormat}, {"link", f.link},
            {"target", f.target},    {"target_kind", f.chain.kind},
            {"interval_s", intervalS}};
}

json intervalRecord(const IntervalFigures &f)
{
    const RoundTripFigures &rtt = f.roundTrip;
    json r = {{"type", "interval"},
              {"from_s", rounded(f.fromS, 1e3)},
              {"to_s", rounded(f.toS, 1e3)},
              {"to_chain", f.toChain},
              {"from_chain", f.fromChain},
              {"sends", f.echoes.sends},
              {"echoed", f.echoes.echoed},
              {"lost", f.echoes.lost},
              {"changed", f.echoes.changed},
              {"extra", f.echoes.extra},
              {"late", f.echoes.late},
              {"com3_open", f.com3Open},
              {"line_errors", lineErrorsJson(f.lineErrors, true)},
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
