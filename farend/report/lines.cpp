#include "farend/report/lines.h"

#include "farend/text/prose.h"

namespace {

// The interval's end, bytes sent, echoed, lost, changed and extra, the round trip's p50, p99 and
// max, the late share (late / echoes), the kernel's segments sent again and received out of
// order: under 80 columns, wide enough for a quarter of an hour at 9600 baud, so that the columns
// stay put.
const char kRow[] = "%7.1f %6lld %6lld %5lld %7lld %5lld %6s %6s %6s %6s %4s %4s\n";
const char kHeader[] = "%7s %6s %6s %5s %7s %5s %6s %6s %6s %6s %4s %4s\n";
constexpr std::size_t kIndent = 8;   // the interval's verdicts, under its figures

// A round trip in six columns: microseconds below 10 ms, tenths from 100 ms on.
std::string msCell(double v)
{
    return format(v < 10 ? "%.3f" : v < 100 ? "%.2f" : v < 1000 ? "%.1f" : "%.0f", v);
}

std::string countCell(const std::optional<TcpCounts> &t, long long TcpCounts::*member)
{
    return t ? std::to_string((*t).*member) : "-";
}

} // namespace

std::string intervalHeader()
{
    return format(kHeader, "time s", "sent", "echoed", "lost", "changed", "extra", "p50 ms",
                  "p99 ms", "max ms", "late", "retr", "ooo");
}

std::string intervalLine(const IntervalFigures &f)
{
    if (!f.traffic())
        return format(f.last ? "%7.2f  no traffic%s\n" : "%7.1f  no traffic%s\n", f.toS,
                      f.com3Open ? "" : " (COM3 not open)");
    const EchoCounts &e = f.span.echoes;
    const RoundTripFigures &rtt = f.span.roundTrip;
    const bool echoes = e.echoed > 0;   // no echo, no round trip: dashes, not a time of zero
    std::string line =
        format(kRow, f.toS, e.sends, e.echoed, e.lost, e.changed, e.extra,
               echoes ? msCell(rtt.p50Ms).c_str() : "-", echoes ? msCell(rtt.p99Ms).c_str() : "-",
               echoes ? msCell(rtt.maxMs).c_str() : "-",
               echoes ? format("%.1f%%", percentOf(e.late, e.echoed)).c_str() : "-",
               countCell(f.span.tcp, &TcpCounts::retransmitted).c_str(),
               countCell(f.span.tcp, &TcpCounts::outOfOrder).c_str());
    if (f.verdictChanged)
        for (const Verdict &v : f.verdicts)
            line += wrapped(std::string(kIndent, ' '), v.text, kIndent);
    return line;
}

std::string runLine(const RunStart &r)
{
    return format("%7.2f  run %lld: the tester opened COM3 at %s\n", r.atS, r.run,
                  r.settings.baud ? r.settings.text().c_str() : "an unknown speed");
}
