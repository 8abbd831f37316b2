#include "farend/relayreport.h"

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

std::string span(double fromS, double toS)
{
    return format("%21s", format("%.2f-%.2f s", fromS, toS).c_str());
}

} // namespace

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
    return format(kRow, span(f.fromS, f.toS).c_str(), f.toChain, f.fromChain, f.echoes.echoed,
                  f.echoes.lost, f.echoes.changed, f.echoes.extra, rtt.quantileMs(0.5),
                  rtt.quantileMs(0.99), rtt.maxMs(), percent(f.echoes.late, f.echoes.echoed));
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
    if (f.chain.deviceServerReports) {
        text += "device server (" + f.chain.kind + "): port " +
                (f.chain.serverPort.empty() ? "not reported" : f.chain.serverPort);
        std::string missing;
        for (const std::string &m : f.chain.notAcknowledged)
            missing += (missing.empty() ? "" : ", ") + m;
        text += missing.empty() ? "\n" : "; not acknowledged: " + missing + "\n";
    }
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
    if (f.chain.deviceServerReports)
        r["device_server"] = {
            {"port", f.chain.serverPort.empty() ? json() : json(f.chain.serverPort)},
            {"not_acknowledged", f.chain.notAcknowledged}};
    else
        r["device_server"] = nullptr;
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
              {"com3_open", f.com3Open}};
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
