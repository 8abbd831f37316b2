#include "farend/report/farend.h"

#include "farend/report/timing.h"
#include "farend/text/prose.h"

std::string farEndSummary(const FarEndFigures &f)
{
    const TesterWatch &w = *f.tester;
    std::string text =
        format("farend: received %lld bytes, sent %lld bytes, first to last %.3f s, ", w.bytes(),
               f.sent, w.firstToLastMs() / 1000.0) +
        cycleText(w);
    for (const std::string &line : timingLines(w))
        text += "\n  " + line;
    if (f.lost > 0)
        text += "\n  " + std::to_string(f.lost) + " replies lost: the line did not take them";
    if (f.overrun > 0)
        text += "\n  " + std::to_string(f.overrun) +
                " bytes not answered: they came faster than the device could hold them";
    return text;
}

nlohmann::ordered_json farEndReportJson(const FarEndFigures &f)
{
    const TesterWatch &w = *f.tester;
    const WireTiming &t = w.period();
    nlohmann::ordered_json r;
    r["received"] = w.bytes();
    r["sent"] = f.sent;
    r["lost"] = f.lost;
    r["overrun"] = f.overrun;
    r["first_to_last_s"] = rounded(w.firstToLastMs() / 1000.0, 1e6);
    r["test_cycle"] = cycleWord(w);
    r["broken_at_byte"] = brokenAtJson(w);
    r["gaps"] = t.gaps();
    r["period_ms"] = {{"median", rounded(t.medianMs(), 1e3)},
                      {"p99", rounded(t.p99Ms(), 1e3)},
                      {"max", rounded(t.maxMs(), 1e6)}};
    r["gaps_over_twice_median"] = t.longGaps();
    r["gap_histogram_ms"] = histogramJson(t);
    return r;
}
