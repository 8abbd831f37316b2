#include "farend/report/tally.h"

#include "farend/text/prose.h"

std::string tallyLine(const RelayFigures &f)
{
    const std::string at = format("%.1f s: ", f.elapsedS);
    if (!f.runs)
        return at + "waiting for the tester to open " + f.link;
    const EchoCounts &e = f.span.echoes;
    // echoed of sent first: the figure a glance looks for, and short enough for a day of sends
    std::string line = at + format("%lld/%lld echoed, %lld lost, %lld changed, %lld extra",
                                   e.echoed, e.sends, e.lost, e.changed, e.extra);
    if (e.echoed)
        line += ", p50 " + ms(f.roundTrip->medianMs());
    return line;
}
