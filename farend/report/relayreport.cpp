#include "farend/report/relayreport.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

using json = nlohmann::ordered_json;

// `v` to `perUnit` steps of its unit (1000: three decimals), without binary noise in JSON.
double rounded(double v, double perUnit)
{
    return std::round(v * perUnit) / perUnit;
}

double percent(long long part, long long whole)
{
    return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...)
{
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// Interval span, byte and reply counts, round trip, late share: widths that hold a day of
// seconds, millions of bytes an interval and round trips of seconds, so that the columns stay
// put.
const char kRow[] = "%s %9lld %9lld %8lld %7lld %7lld %7lld %9.3f %9.3f %9.3f %6.1f%%\n";
const char kRowNoEcho[] = "%s %9lld %9lld %8lld %7lld %7lld %7lld %9s %9s %9s %7s\n";

std::string span(double fromS, double toS)
{
    return format("%21s", format("%.2f-%.2f s", fromS, toS).c_str());
}

// Where the serial side's errors stand: counted by someone, or not reported.
void errorFigures(const std::optional<LineErrorCounts> &l, ChainFigures &f)
{
    if (!l)
        return;
    f.framing = l->framing;
    f.parity = l->parity;
    f.overrun = l->overrun;
    f.breaks = l->breaks;
    f.bufferOverrun = l->bufferOverrun;
}

void toFigures(const ChainFacts &c, ChainFigures &f)
{
    f.reporter = c.reporter;
    errorFigures(c.lineErrors, f);
    if (c.modemLines)
        f.modemChanges = c.modemLines->changes();
}

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

std::string lineErrorsText(const LineErrorCounts &l)
{
    return format("framing %lld, parity %lld, overrun %lld, break %lld", l.framing, l.parity,
                  l.overrun, l.breaks);
}

std::string modemText(const ModemLineCounts &m)
{
    std::string text = format("%lld changes (CTS %lld, DSR %lld, CD %lld, RI %lld)", m.changes(),
                              m.cts, m.dsr, m.cd, m.ri);
    if (m.last) {
        const unsigned char s = *m.last;
        text += format(", now CTS %s DSR %s CD %s RI %s", s & 0x10 ? "on" : "off",
                       s & 0x20 ? "on" : "off", s & 0x80 ? "on" : "off", s & 0x40 ? "on" : "off");
    }
    return text;
}

// `text` after `lead`, wrapped at word breaks to lines under 80 columns, the rest indented.
std::string wrapped(const std::string &lead, const std::string &text, std::size_t indent = 4)
{
    constexpr std::size_t kWidth = 79;
    std::string out = lead, word;
    std::size_t column = lead.size();
    auto put = [&] {
        if (word.empty())
            return;
        if (column + 1 + word.size() > kWidth && column > indent) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > 0 && out.back() != ' ') {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        word.clear();
    };
    for (char ch : text) {
        if (ch == ' ')
            put();
        else
            word += ch;
    }
    put();
    return out + "\n";
}

std::string joined(const std::vector<std::string> &items)
{
    std::string text;
    for (const std::string &i : items)
        text += (text.empty() ? "" : ", ") + i;
    return text;
}

} // namespace

double wireMs(const LineSettings &line)
{
    const LineSettings l = line.baud ? line : kTesterLine;
    return wireTimeMs(static_cast<long>(l.baud),
                      1 + l.dataBits + (l.parity == 'N' ? 0 : 1) + l.stopBits);
}

namespace {

// The figures of a span of echoes: the whole run or an interval.
ChainFigures echoFigures(const EchoCounts &e, const WireTiming *roundTrip, const ChainFacts &chain,
                         const LineSettings &line, const std::optional<SpeedMatch> &speed)
{
    ChainFigures c;
    c.sent = e.sends;
    c.echoed = e.echoed;
    c.lost = e.lost;
    c.changed = e.changed;
    c.extra = e.extra;
    c.late = e.late;
    c.readMs = kReadWindowMs;
    c.rttMedianMs = e.echoed && roundTrip ? roundTrip->quantileMs(0.5) : -1;
    if (chain.lan)
        c.lanRttMs = chain.lan->minMs;
    c.wireMs = wireMs(line);
    if (speed)
        c.speed = speed->text();
    return c;
}

} // namespace

ChainFigures chainFigures(const RelayFigures &f)
{
    ChainFigures c = echoFigures(f.echoes, f.roundTrip, f.chain, f.line, f.speed);
    toFigures(f.chain, c);
    return c;
}

std::vector<Verdict> intervalVerdicts(const IntervalFigures &i, const ChainFacts &before,
                                      const ChainFacts &now, const std::optional<SpeedMatch> &speed)
{
    ChainFigures c = echoFigures(i.echoes, i.roundTrip, now, i.line, speed);
    c.reporter = now.reporter;
    errorFigures(i.lineErrors, c);
    if (now.modemLines)
        c.modemChanges = now.modemLines->changes() -
                         (before.modemLines ? before.modemLines->changes() : 0);
    return verdicts(c);
}

std::string intervalHeader()
{
    return format("%21s %9s %9s %8s %7s %7s %7s %9s %9s %9s %7s\n", "interval", "to chain",
                  "from", "echoed", "lost", "changed", "extra", "rtt p50", "p99", "max ms",
                  "late");
}

std::string intervalLine(const IntervalFigures &f)
{
    if (!f.traffic())
        return span(f.fromS, f.toS) + "  no traffic" + (f.com3Open ? "" : " (COM3 not open)") +
               "\n";
    const WireTiming &rtt = *f.roundTrip;
    std::string said;
    if (f.verdictChanged)
        for (const Verdict &v : f.verdicts)
            said += wrapped(std::string(23, ' '), v.text, 23);
    if (!f.echoes.echoed)   // no echo, no round trip: dashes, not a time of zero
        return said.insert(0, format(kRowNoEcho, span(f.fromS, f.toS).c_str(), f.toChain,
                                     f.fromChain, f.echoes.echoed, f.echoes.lost,
                                     f.echoes.changed, f.echoes.extra, "-", "-", "-", "-"));
    return said.insert(0, format(kRow, span(f.fromS, f.toS).c_str(), f.toChain, f.fromChain, f.echoes.echoed,
                  f.echoes.lost, f.echoes.changed, f.echoes.extra, rtt.quantileMs(0.5),
                  rtt.quantileMs(0.99), rtt.maxMs(), percent(f.echoes.late, f.echoes.echoed)));
}

std::string runLine(const RunStart &r)
{
    return format("%21s  run %lld: the tester opened COM3 at %s\n",
                  format("%.2f s", r.atS).c_str(), r.run,
                  r.settings.baud ? r.settings.text().c_str() : "an unknown speed");
}

std::string summaryBlock(const RelayFigures &f)
{
    const EchoCounts &e = f.echoes;
    std::string text = format("--- %s to %s: %.2f s, %lld %s ---\n", f.link.c_str(),
                              f.target.c_str(), f.elapsedS, f.runs, f.runs == 1 ? "run" : "runs");
    text += format("sends %lld, echoes %lld, lost %lld (%.2f%%), changed %lld, extra %lld\n",
                   e.sends, e.echoed, e.lost, percent(e.lost, e.sends), e.changed, e.extra);
    if (f.awaiting)
        text += format("awaiting %lld: sent within the last second, not yet echoed or lost\n",
                       f.awaiting);
    if (e.echoed) {
        text += format("late %lld: %.2f%% of the echoes came after the tester's %.0f ms read\n",
                       e.late, percent(e.late, e.echoed), kReadWindowMs);
        text += "round trip (ms): " + f.roundTrip->ladder() + "\n";
        for (const std::string &row : f.roundTrip->histogramRows(kHistogramRows))
            text += "  " + row + "\n";
    }
    text += "tester on the wire: " + std::to_string(f.tester->bytesReceived()) + " bytes, " +
            f.tester->cycleText() + "\n";
    const auto timing = f.tester->timingLines();
    for (std::size_t i = 0; i < timing.size() && i < 2; ++i)   // the ladder and the long gaps
        text += "  " + timing[i] + "\n";
    text += format("bytes: %lld to the chain, %lld from it, %lld to the tester", f.toChain,
                   f.fromChain, f.toTester);
    text += f.notTaken ? format(" (%lld more it did not take)\n", f.notTaken) : "\n";
    const ChainFacts &c = f.chain;
    const std::string notReported = "not reported by " + c.reporter;
    if (c.deviceServerReports) {
        text += "device server (" + c.kind + "): port " +
                (c.serverPort.empty() ? "not reported" : c.serverPort);
        const std::string missing = joined(c.notAcknowledged);
        text += missing.empty() ? "\n" : "; not acknowledged: " + missing + "\n";
        std::string said =
            "name " + (c.signature.empty() ? notReported : "\"" + c.signature + "\"") +
            "; line errors " + (c.lineErrors ? lineErrorsText(*c.lineErrors) : notReported) +
            "; modem lines " + (c.modemLines ? modemText(*c.modemLines) : notReported) +
            format("; purged at %lld new %s", c.purges, c.purges == 1 ? "run" : "runs") +
            (c.suspensions ? format("; suspended %lld times for %.3f s", c.suspensions,
                                    c.suspendedMs / 1000.0)
                           : "");
        if (!c.answeredOtherwise.empty())
            said += "; answered otherwise: " + joined(c.answeredOtherwise);
        if (!c.nonStandard.empty())
            said += "; non-standard answers: " + joined(c.nonStandard);
        if (c.unparsed)
            said += format("; %lld replies not parsed (last: %s)", c.unparsed,
                           c.lastUnparsed.c_str());
        text += wrapped("    ", said);
    } else if (!c.reporter.empty()) {
        text += wrapped("UART (" + c.kind + "):",
                        c.lineErrors ? format("%lld bytes in, %lld out; ", c.lineErrors->rx,
                                              c.lineErrors->tx) +
                                           lineErrorsText(*c.lineErrors) +
                                           format(", buffer overrun %lld",
                                                  c.lineErrors->bufferOverrun)
                                     : "line errors " + notReported);
    }
    if (e.echoed) {
        const ChainFigures cf = chainFigures(f);
        const TimeSplit split = splitRoundTrip(cf.rttMedianMs, cf.lanRttMs, cf.wireMs);
        std::string parts;
        if (split.lanMs)
            parts += format("LAN %.3f ms (kernel's least RTT; smoothed %.3f), ", *split.lanMs,
                            c.lan->smoothedMs);
        parts += format("wire %.3f ms (%s, a byte each way), rest %.3f ms (%s)", split.wireMs,
                        (f.line.baud ? f.line : kTesterLine).text().c_str(), split.restMs,
                        split.lanMs ? "device server and far device" : "far device");
        text += wrapped(format("median %.3f ms, estimated:", cf.rttMedianMs), parts);
    }
    for (const Verdict &v : verdicts(chainFigures(f)))
        text += wrapped("verdict:", v.text);
    if (e.clean())
        text += "clean: nothing lost, changed or extra";
    else
        text += format("not clean: %lld lost, %lld changed, %lld extra", e.lost, e.changed,
                       e.extra) +
                (f.expectClean ? format(" (exit status %d)", kStatusNotClean) : "");
    return text;
}

json reportJson(const RelayFigures &f)
{
    const EchoCounts &e = f.echoes;
    json r;
    r["format"] = kRelayReportFormat;
    r["link"] = f.link;
    r["target"] = f.target;
    r["target_kind"] = f.chain.kind;
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
    r["round_trip_ms"] = f.roundTrip->ladderJson();
    r["round_trip_histogram_ms"] = f.roundTrip->histogramJson();
    const json wire = f.tester->reportJson();
    r["tester_timing"] = {{"bytes", wire["received"]},
                          {"test_cycle", wire["test_cycle"]},
                          {"broken_at_byte", wire["broken_at_byte"]},
                          {"first_to_last_s", wire["first_to_last_s"]},
                          {"period_ms", f.tester->timing().ladderJson()},
                          {"gaps_over_twice_median", wire["gaps_over_twice_median"]},
                          {"gap_histogram_ms", wire["gap_histogram_ms"]}};
    const ChainFacts &c = f.chain;
    auto errorsJson = [&]() -> json {
        if (!c.lineErrors)
            return nullptr;
        json l = {{"framing", c.lineErrors->framing},
                  {"parity", c.lineErrors->parity},
                  {"overrun", c.lineErrors->overrun},
                  {"break", c.lineErrors->breaks}};
        if (!c.deviceServerReports) {
            l["buffer_overrun"] = c.lineErrors->bufferOverrun;
            l["rx"] = c.lineErrors->rx;
            l["tx"] = c.lineErrors->tx;
        }
        return l;
    };
    if (c.deviceServerReports) {
        json modem = nullptr;
        if (c.modemLines)
            modem = {{"changes", c.modemLines->changes()},
                     {"cts", c.modemLines->cts},
                     {"dsr", c.modemLines->dsr},
                     {"cd", c.modemLines->cd},
                     {"ri", c.modemLines->ri},
                     {"last_state", c.modemLines->last ? json(*c.modemLines->last) : json()}};
        r["device_server"] = {
            {"port", c.serverPort.empty() ? json() : json(c.serverPort)},
            {"not_acknowledged", c.notAcknowledged},
            {"signature", c.signature.empty() ? json() : json(c.signature)},
            {"line_errors", errorsJson()},
            {"modem_lines", modem},
            {"purges", c.purges},
            {"suspensions", c.suspensions},
            {"suspended_s", rounded(c.suspendedMs / 1000.0, 1e3)},
            {"answered_otherwise", c.answeredOtherwise},
            {"non_standard", c.nonStandard},
            {"unparsed", c.unparsed}};
    } else {
        r["device_server"] = nullptr;
    }
    r["uart_counters"] = !c.deviceServerReports && !c.reporter.empty() ? errorsJson() : json();
    const ChainFigures cf = chainFigures(f);
    if (e.echoed) {
        const TimeSplit split = splitRoundTrip(cf.rttMedianMs, cf.lanRttMs, cf.wireMs);
        r["time_split_ms"] = {
            {"median", rounded(cf.rttMedianMs, 1e3)},
            {"lan", split.lanMs ? json(rounded(*split.lanMs, 1e3)) : json()},
            {"lan_smoothed", c.lan ? json(rounded(c.lan->smoothedMs, 1e3)) : json()},
            {"wire", rounded(split.wireMs, 1e3)},
            {"rest", rounded(split.restMs, 1e3)}};
    } else {
        r["time_split_ms"] = nullptr;
    }
    r["speed_match"] = f.speed ? json(f.speed->text()) : json();
    r["verdicts"] = verdictsJson(verdicts(cf));
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
    const WireTiming &rtt = *f.roundTrip;
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
              {"line_errors", f.lineErrors ? json{{"framing", f.lineErrors->framing},
                                                  {"parity", f.lineErrors->parity},
                                                  {"overrun", f.lineErrors->overrun},
                                                  {"break", f.lineErrors->breaks},
                                                  {"buffer_overrun", f.lineErrors->bufferOverrun},
                                                  {"rx", f.lineErrors->rx},
                                                  {"tx", f.lineErrors->tx}}
                                           : json()},
              {"verdicts", verdictsJson(f.verdicts)}};
    if (rtt.gaps())
        r["round_trip_ms"] = {{"p50", rounded(rtt.quantileMs(0.5), 1e3)},
                              {"p99", rounded(rtt.quantileMs(0.99), 1e3)},
                              {"max", rounded(rtt.maxMs(), 1e3)}};
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
