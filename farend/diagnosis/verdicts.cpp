#include "farend/diagnosis/verdicts.h"

#include "farend/text/prose.h"

#include <algorithm>

TimeSplit splitRoundTrip(double medianMs, std::optional<double> lanMs, double wireMs)
{
    TimeSplit s;
    s.medianMs = medianMs;
    s.lanMs = lanMs;
    s.wireMs = wireMs;
    s.restMs = std::max(0.0, medianMs - lanMs.value_or(0) - wireMs);
    return s;
}

std::vector<Verdict> verdicts(const ChainFigures &f)
{
    std::vector<Verdict> out;
    if (f.sent == 0)
        return {{"idle", {}, "idle: nothing was sent to the chain"}};
    const std::string who = f.reporter.empty() ? "the chain" : f.reporter;

    const bool silent = f.echoed == 0 && f.changed == 0 && f.extra == 0;
    if (silent)
        out.push_back({"silent",
                       {{"sent", double(f.sent)}},
                       "silent: none of " + std::to_string(f.sent) +
                           " bytes came back; the far device does not answer, or the line "
                           "between the device server and it is open"});
    if (f.speed)
        out.push_back({"wrong-speed",
                       {{"changed", double(f.changed)}, {"sent", double(f.sent)}},
                       "wrong speed: " + std::to_string(f.changed) + " of " +
                           std::to_string(f.sent) + " echoes changed; " + *f.speed});
    const LineErrorCounts &l = f.lineErrors;
    if (l.framing.value_or(0) > 0)
        out.push_back({"framing-errors",
                       {{"framing", double(*l.framing)}},
                       "framing errors reported by " + who + " (" + std::to_string(*l.framing) +
                           "): its serial side and the far device disagree on speed or format"});
    if (l.parity.value_or(0) > 0)
        out.push_back({"parity-errors",
                       {{"parity", double(*l.parity)}},
                       "parity errors reported by " + who + " (" + std::to_string(*l.parity) +
                           "): the two ends disagree on parity, or the line is noisy"});
    const long long overruns = l.overrun.value_or(0) + l.bufferOverrun.value_or(0);
    if (overruns > 0)
        out.push_back({"overrun",
                       {{"overrun", double(l.overrun.value_or(0))},
                        {"buffer_overrun", double(l.bufferOverrun.value_or(0))}},
                       "overruns reported by " + who + " (" + std::to_string(overruns) +
                           "): bytes came in faster than they were taken and were lost there"});
    if (l.breaks.value_or(0) > 0)
        out.push_back({"breaks",
                       {{"breaks", double(*l.breaks)}},
                       "breaks reported by " + who + " (" + std::to_string(*l.breaks) +
                           "): the line was held low, as by a far device without power or a "
                           "loose wire"});
    if (f.lost > 0 && !silent) {
        std::string text = "lost " + count(f.lost, "echo", "echoes") + " (" +
                           percent(shareOf(f.lost, f.sent)) + ")";
        if (!f.reporter.empty() && l.overrun == 0 && l.framing == 0)
            text += "; " + f.reporter + " reported no overrun and no framing error";
        else if (!f.reporter.empty() && !l.overrun && !l.framing)
            text += "; " + f.reporter + " did not report its line errors";
        out.push_back({"lost",
                       {{"lost", double(f.lost)}, {"share", shareOf(f.lost, f.sent)}},
                       text});
    }
    if (f.changed > 0 && !f.speed)
        out.push_back({"changed",
                       {{"changed", double(f.changed)}, {"share", shareOf(f.changed, f.sent)}},
                       "changed " + count(f.changed, "echo", "echoes") + " (" +
                           percent(shareOf(f.changed, f.sent)) +
                           "); no speed or format explains them: noise, or a far device that "
                           "answers something else"});
    if (f.extra > 0 && !f.speed)   // a slower far end splits each byte in two: the speed says it
        out.push_back({"extra",
                       {{"extra", double(f.extra)}},
                       std::to_string(f.extra) + " extra " + (f.extra == 1 ? "byte" : "bytes") +
                           " came back that answer nothing sent: a far device that talks on its "
                           "own, or noise"});
    const long long answered = f.echoed + f.changed;
    const double lateShare = shareOf(f.late, answered);
    if (answered > 0 && lateShare > kLateShare) {
        std::string text = "late: " + percent(lateShare) + " of echoes miss the tester's " +
                           ms(f.readMs) + " read";
        if (f.rttMedianMs >= 0) {
            const TimeSplit s = splitRoundTrip(f.rttMedianMs, f.lanRttMs, f.wireMs);
            if (s.lanMs && *s.lanMs >= 0.5 * f.rttMedianMs)
                text += "; the LAN accounts for " + ms(*s.lanMs) + " of the " +
                        ms(f.rttMedianMs) + " median, so the time goes on the LAN";
            else if (s.lanMs)
                text += "; the LAN accounts for " + ms(*s.lanMs) + " of the " +
                        ms(f.rttMedianMs) + " median, so the time goes behind the device server";
            else
                text += "; the wire accounts for " + ms(s.wireMs) + " of the " +
                        ms(f.rttMedianMs) + " median";
        }
        out.push_back({"late",
                       {{"late", double(f.late)},
                        {"share", lateShare},
                        {"rtt_median_ms", f.rttMedianMs},
                        {"lan_rtt_ms", f.lanRttMs.value_or(-1)},
                        {"wire_ms", f.wireMs}},
                       text});
    }
    if (f.modemChanges && *f.modemChanges > 0)
        out.push_back({"modem-lines",
                       {{"changes", double(*f.modemChanges)}},
                       "the modem lines changed " + count(*f.modemChanges, "time", "times") +
                           ": a far device that resets, or a loose cable"});
    if (out.empty())
        out.push_back({"clean",
                       {{"echoed", double(f.echoed)},
                        {"sent", double(f.sent)},
                        {"late_share", lateShare}},
                       "clean: " + std::to_string(f.echoed) + " of " + std::to_string(f.sent) +
                           " echoed, " + percent(lateShare) + " late"});
    return out;
}
