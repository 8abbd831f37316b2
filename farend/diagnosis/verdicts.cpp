#include "farend/diagnosis/verdicts.h"

#include "farend/text/prose.h"

#include <algorithm>
#include <tuple>

TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs)
{
    TimeSplit s;
    s.medianMs = medianMs;
    s.lanMs = lanMs;
    s.wireMs = wireMs;
    s.restMs = std::max(0.0, medianMs - lanMs.value_or(0) - wireMs);
    return s;
}

namespace {

// A run's figures as every rule reads them.
struct Run {
    const ChainFigures &f;
    std::string who;   // who reported the line errors, or "the chain"
    bool silent;       // nothing at all came back
    long long answered;
    double lateShare;   // of the echoes and the changed echoes
};

// One verdict's rule: the verdict when its trigger holds.
using Rule = std::optional<Verdict> (*)(const Run &);

std::optional<Verdict> silent(const Run &r)
{
    if (!r.silent)
        return std::nullopt;
    return Verdict{"silent",
                   {{"sent", double(r.f.sent)}},
                   "silent: none of " + std::to_string(r.f.sent) +
                       " bytes came back; the far device does not answer, or the line between "
                       "the device server and it is open"};
}

// What a recognised mapping accounts for: the replies counted wrong, and the line errors the
// setting makes the device server's UART report.
std::string accountedFor(const Run &r)
{
    const ChainFigures &f = r.f;
    std::vector<std::string> parts;
    if (f.changed > 0)
        parts.push_back(std::to_string(f.changed) + " changed");
    if (f.lost > 0)
        parts.push_back(std::to_string(f.lost) + " lost");
    if (f.extra > 0)
        parts.push_back(std::to_string(f.extra) + " extra");
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    out += parts.empty() ? "the replies" : " replies";
    for (const auto &[count, predicted, what] :
         {std::tuple{f.lineErrors.framing, f.speed->framingPerCycle, "framing"},
          std::tuple{f.lineErrors.parity, f.speed->parityPerCycle, "parity"}})
        if (count.value_or(0) > 0 && predicted > 0 && f.speed->explained())
            out += " and the " + std::to_string(*count) + " " + what + " errors reported by " +
                   r.who;
    return out;
}

std::optional<Verdict> mismatch(const Run &r)
{
    if (!r.f.speed)
        return std::nullopt;
    const SpeedMatch &m = *r.f.speed;
    const ChainFigures &f = r.f;
    const NamedSetting *first = m.explained() ? &m.named.front() : nullptr;
    std::vector<std::pair<std::string, double>> figures{
        {"sent", double(f.sent)},       {"changed", double(f.changed)},
        {"lost", double(f.lost)},       {"extra", double(f.extra)},
        {"stable", m.stable},           {"rate", first ? double(first->rate) : 0.0},
        {"rate_low", first ? double(first->low) : 0.0},
        {"rate_high", first ? double(first->high) : 0.0},
        {"replies_per_cycle", double(m.repliesPerCycle)},
        {"settings_not_named", double(m.moreSettings)}};
    const std::string code = m.code();
    if (!first)
        return Verdict{code, figures,
                       "systematic: " + accountedFor(r) + "; " + m.text() + ": not noise",
                       m.step()};
    const std::string title = code == "wrong-speed"    ? "wrong speed"
                              : code == "wrong-format" ? "wrong frame format"
                                                       : "wrong speed and frame format";
    return Verdict{code, figures,
                   title + ": " + m.text() +
                       (m.portAgainstReport() ? "" : ", against the tester's " + m.tester.text()) +
                       "; that explains " + accountedFor(r),
                   m.step()};
}

// Whether the recognised setting makes the device server report errors of this kind.
bool explainedErrors(const Run &r, long long SpeedMatch::*perCycle)
{
    return r.f.speed && r.f.speed->explained() && (*r.f.speed).*perCycle > 0;
}

// A line error the reporter counted, once it counted one.
std::optional<Verdict> lineError(const Run &r, const LineErrorCounts::Count &count,
                                 const char *code, const char *figure, const char *what,
                                 const char *meaning)
{
    if (count.value_or(0) <= 0)
        return std::nullopt;
    return Verdict{code,
                   {{figure, double(*count)}},
                   std::string(what) + " reported by " + r.who + " (" + std::to_string(*count) +
                       "): " + meaning};
}

std::optional<Verdict> framingErrors(const Run &r)
{
    if (explainedErrors(r, &SpeedMatch::framingPerCycle))
        return std::nullopt;
    return lineError(r, r.f.lineErrors.framing, "framing-errors", "framing", "framing errors",
                     "its serial side and the far device disagree on speed or format");
}

std::optional<Verdict> parityErrors(const Run &r)
{
    if (explainedErrors(r, &SpeedMatch::parityPerCycle))
        return std::nullopt;
    return lineError(r, r.f.lineErrors.parity, "parity-errors", "parity", "parity errors",
                     "the two ends disagree on parity, or the line is noisy");
}

std::optional<Verdict> overruns(const Run &r)
{
    const LineErrorCounts &l = r.f.lineErrors;
    const long long n = l.overrun.value_or(0) + l.bufferOverrun.value_or(0);
    if (n <= 0)
        return std::nullopt;
    return Verdict{"overrun",
                   {{"overrun", double(l.overrun.value_or(0))},
                    {"buffer_overrun", double(l.bufferOverrun.value_or(0))}},
                   "overruns reported by " + r.who + " (" + std::to_string(n) +
                       "): bytes came in faster than they were taken and were lost there"};
}

std::optional<Verdict> breaks(const Run &r)
{
    return lineError(r, r.f.lineErrors.breaks, "breaks", "breaks", "breaks",
                     "the line was held low, as by a far device without power or a loose wire");
}

std::optional<Verdict> lost(const Run &r)
{
    const ChainFigures &f = r.f;
    if (f.lost <= 0 || r.silent || f.speed)   // a recognised mapping accounts for them
        return std::nullopt;
    const LineErrorCounts &l = f.lineErrors;
    std::string text = "lost " + count(f.lost, "echo", "echoes") + " (" +
                       percent(shareOf(f.lost, f.sent)) + ")";
    if (!f.reporter.empty() && l.overrun == 0 && l.framing == 0)
        text += "; " + f.reporter + " reported no overrun and no framing error";
    else if (!f.reporter.empty() && !l.overrun && !l.framing)
        text += "; " + f.reporter + " did not report its line errors";
    return Verdict{"lost", {{"lost", double(f.lost)}, {"share", shareOf(f.lost, f.sent)}}, text};
}

std::optional<Verdict> changed(const Run &r)
{
    const ChainFigures &f = r.f;
    if (f.changed <= 0 || f.speed)
        return std::nullopt;
    return Verdict{"changed",
                   {{"changed", double(f.changed)}, {"share", shareOf(f.changed, f.sent)}},
                   "changed " + count(f.changed, "echo", "echoes") + " (" +
                       percent(shareOf(f.changed, f.sent)) +
                       "); no speed or format explains them: noise, or a far device that "
                       "answers something else"};
}

std::optional<Verdict> extra(const Run &r)
{
    const ChainFigures &f = r.f;
    if (f.extra <= 0 || f.speed)   // a slower far end splits each byte in two: the speed says it
        return std::nullopt;
    return Verdict{"extra",
                   {{"extra", double(f.extra)}},
                   std::to_string(f.extra) + " extra " + (f.extra == 1 ? "byte" : "bytes") +
                       " came back that answer nothing sent: a far device that talks on its "
                       "own, or noise"};
}

// Where the median round trip goes, as the late verdict says it.
std::string whereTheTimeGoes(const ChainFigures &f)
{
    const TimeSplit s = splitRoundTrip(f.rttMedianMs, f.lanRttMs, f.wireMs);
    const std::string ofTheMedian = " of the " + ms(f.rttMedianMs) + " median";
    if (s.lanMs && *s.lanMs >= 0.5 * f.rttMedianMs)
        return "; the LAN accounts for " + ms(*s.lanMs) + ofTheMedian + ", so the time goes on "
               "the LAN";
    if (s.lanMs)
        return "; the LAN accounts for " + ms(*s.lanMs) + ofTheMedian + ", so the time goes "
               "behind the device server";
    return "; the wire accounts for " + ms(s.wireMs) + ofTheMedian;
}

std::optional<Verdict> late(const Run &r)
{
    const ChainFigures &f = r.f;
    if (r.answered <= 0 || r.lateShare <= kLateShare)
        return std::nullopt;
    std::string text = "late: " + percent(r.lateShare) + " of echoes miss the tester's " +
                       ms(f.readMs) + " read";
    if (f.rttMedianMs >= 0)
        text += whereTheTimeGoes(f);
    return Verdict{"late",
                   {{"late", double(f.late)},
                    {"share", r.lateShare},
                    {"rtt_median_ms", f.rttMedianMs},
                    {"lan_rtt_ms", f.lanRttMs.value_or(-1)},
                    {"wire_ms", f.wireMs}},
                   text};
}

std::optional<Verdict> modemLines(const Run &r)
{
    const std::optional<long long> &n = r.f.modemChanges;
    if (n.value_or(0) <= 0)
        return std::nullopt;
    return Verdict{"modem-lines",
                   {{"changes", double(*n)}},
                   "the modem lines changed " + count(*n, "time", "times") +
                       ": a far device that resets, or a loose cable"};
}

// The rules, the gravest first.
constexpr Rule kRules[] = {silent, mismatch, framingErrors, parityErrors, overruns, breaks,
                           lost,   changed,    extra,         late,         modemLines};

} // namespace

std::vector<Verdict> verdicts(const ChainFigures &f)
{
    if (f.sent == 0)
        return {{"idle", {}, "idle: nothing was sent to the chain"}};
    const long long answered = f.echoed + f.changed;
    const Run run{f, f.reporter.empty() ? "the chain" : f.reporter,
                  f.echoed == 0 && f.changed == 0 && f.extra == 0, answered,
                  shareOf(f.late, answered)};
    std::vector<Verdict> out;
    for (Rule rule : kRules)
        if (std::optional<Verdict> v = rule(run))
            out.push_back(std::move(*v));
    if (out.empty())
        out.push_back({"clean",
                       {{"echoed", double(f.echoed)},
                        {"sent", double(f.sent)},
                        {"late_share", run.lateShare}},
                       "clean: " + std::to_string(f.echoed) + " of " + std::to_string(f.sent) +
                           " echoed, " + percent(run.lateShare) + " late"});
    return out;
}
