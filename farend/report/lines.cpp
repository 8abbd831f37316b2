#include "farend/report/lines.h"

#include "farend/text/prose.h"

namespace {

// Interval span, byte and reply counts, round trip, late share: widths that hold a day of
// seconds, millions of bytes an interval and round trips of seconds, so that the columns stay
// put.
const char kRow[] = "%s %9lld %9lld %8lld %7lld %7lld %7lld %9.3f %9.3f %9.3f %6.1f%%\n";
const char kRowNoEcho[] = "%s %9lld %9lld %8lld %7lld %7lld %7lld %9s %9s %9s %7s\n";

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
    const EchoCounts &e = f.echoes;
    std::string said;
    if (f.verdictChanged)
        for (const Verdict &v : f.verdicts)
            said += wrapped(std::string(23, ' '), v.text, 23);
    if (!e.echoed)   // no echo, no round trip: dashes, not a time of zero
        return said.insert(0, format(kRowNoEcho, span(f.fromS, f.toS).c_str(), f.toChain,
                                     f.fromChain, e.echoed, e.lost, e.changed, e.extra, "-", "-",
                                     "-", "-"));
    const RoundTripFigures &rtt = f.roundTrip;
    return said.insert(0, format(kRow, span(f.fromS, f.toS).c_str(), f.toChain, f.fromChain,
                                 e.echoed, e.lost, e.changed, e.extra, rtt.p50Ms, rtt.p99Ms,
                                 rtt.maxMs, percentOf(e.late, e.echoed)));
}

std::string runLine(const RunStart &r)
{
    return format("%21s  run %lld: the tester opened COM3 at %s\n",
                  format("%.2f s", r.atS).c_str(), r.run,
                  r.settings.baud ? r.settings.text().c_str() : "an unknown speed");
}
