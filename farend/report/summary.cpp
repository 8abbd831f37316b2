#include "farend/report/summary.h"

#include "farend/report/timing.h"
#include "farend/text/prose.h"

#include <algorithm>

namespace {

std::string lineErrorsText(const LineErrorCounts &l)
{
    return format("framing %lld, parity %lld, overrun %lld, break %lld", l.framing.value_or(0),
                  l.parity.value_or(0), l.overrun.value_or(0), l.breaks.value_or(0));
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

// How the replies came: how many a read, how many a LAN round trip after a later send, and what
// the kernel counted of the connection.
std::string arrivals(const RelayFigures &f)
{
    const EchoCounts &e = f.span.echoes;
    std::string text;
    if (e.reads) {
        std::string said = format("%lld in %lld reads (%.2f a read)", e.replies, e.reads,
                                  double(e.replies) / double(e.reads));
        if (f.chain.lan && e.echoed + e.changed)
            said += format("; of %lld echoes, changed or not, %lld (%.1f%%) came one LAN round "
                           "trip after a later send (within %.2f ms), %lld later after one",
                           e.echoed + e.changed, e.released,
                           percentOf(e.released, e.echoed + e.changed), f.span.releaseSlackMs,
                           e.afterALaterSend);
        text += wrapped("replies:", said);
    }
    if (const std::optional<TcpCounts> &t = f.chain.tcp)
        text += wrapped("TCP (the kernel's counts):",
                        format("%lld segments sent again, %lld received out of order; %lld bytes "
                               "received in %lld segments",
                               t->retransmitted, t->outOfOrder, t->bytesIn, t->segmentsIn));
    return text;
}

// What happened to the tester's bytes: the counts, the round trip, the tester's own timing.
std::string echoes(const RelayFigures &f)
{
    const EchoCounts &e = f.span.echoes;
    std::string text =
        format("sends %lld, echoes %lld, lost %lld (%.2f%%), changed %lld, extra %lld\n", e.sends,
               e.echoed, e.lost, percentOf(e.lost, e.sends), e.changed, e.extra);
    if (f.awaiting)
        text += format("awaiting %lld: sent within the last second, not yet echoed or lost\n",
                       f.awaiting);
    if (e.echoed) {
        text += format("late %lld: %.2f%% of the echoes came after the tester's %.0f ms read\n",
                       e.late, percentOf(e.late, e.echoed), kReadWindowMs);
        text += "round trip (ms): " + ladderText(*f.roundTrip) + "\n";
        for (const std::string &row : histogramRows(*f.roundTrip, kHistogramRows))
            text += "  " + row + "\n";
    }
    text += arrivals(f);
    text += "tester on the wire: " + std::to_string(f.tester->bytes()) + " bytes, " +
            cycleText(*f.tester) + "\n";
    const auto timing = timingLines(*f.tester);
    for (std::size_t i = 0; i < timing.size() && i < 2; ++i)   // the ladder and the long gaps
        text += "  " + timing[i] + "\n";
    return text + wrapped("bytes:", format("%lld to the chain, %lld from it, %lld to the tester",
                                           f.span.toChain, f.span.fromChain, f.toTester) +
                                        (f.notTaken ? format(" (%lld more it did not take)",
                                                             f.notTaken)
                                                    : ""));
}

// What a device server said of itself, or what a local UART's driver counted.
std::string chain(const ChainFacts &c)
{
    const std::string notReported = "not reported by " + c.reporter;
    if (!c.server) {
        if (c.reporter.empty())
            return "";
        const LineErrorCounts &l = c.lineErrors;
        return wrapped("UART (" + c.kind + "):",
                       l.reported() ? format("%lld bytes in, %lld out; ", l.rx.value_or(0),
                                             l.tx.value_or(0)) +
                                          lineErrorsText(l) +
                                          format(", buffer overrun %lld",
                                                 l.bufferOverrun.value_or(0))
                                    : "line errors " + notReported);
    }
    const ServerFacts &s = *c.server;
    std::string text = "device server (" + c.kind + "): port " +
                       (s.port.baud ? s.port.text() : "not reported");
    const std::string missing = joined(s.notAcknowledged);
    text += missing.empty() ? "\n" : "; not acknowledged: " + missing + "\n";
    std::string said =
        "name " + (s.signature.empty() ? notReported : "\"" + s.signature + "\"") +
        "; line errors " + (c.lineErrors.reported() ? lineErrorsText(c.lineErrors) : notReported) +
        "; modem lines " + (c.modemLines ? modemText(*c.modemLines) : notReported) +
        format("; purged at %lld new %s", s.purges, s.purges == 1 ? "run" : "runs") +
        (s.suspensions
             ? format("; suspended %lld times for %.3f s", s.suspensions, s.suspendedMs / 1000.0)
             : "");
    if (!s.answeredOtherwise.empty())
        said += "; answered otherwise: " + joined(s.answeredOtherwise);
    if (!s.nonStandard.empty())
        said += "; non-standard answers: " + joined(s.nonStandard);
    if (s.unparsed)
        said += format("; %lld replies not parsed (last: %s)", s.unparsed, s.lastUnparsed.c_str());
    if (s.abandoned)
        said += format("; %lld %s abandoned, %lld bytes of them discarded", s.abandoned,
                       s.abandoned == 1 ? "subnegotiation" : "subnegotiations", s.discarded);
    return text + wrapped("    ", said);
}

// Where the median round trip goes, part by part, adding up to it.
std::string split(const TimeSplit &s, const RelayFigures &f)
{
    std::string parts;
    if (s.lanMs)
        parts += format("LAN %.3f ms (kernel's least RTT; smoothed %.3f), ", *s.lanMs,
                        f.chain.lan->smoothedMs);
    if (s.beforeTheLine)
        return wrapped(format("median %.3f ms, shorter than", s.medianMs),
                       parts + format("wire %.3f ms (%s, a byte each way)", s.wireMs,
                                      f.span.wireLine.text().c_str()) +
                           ": answered before the serial line");
    if (s.retransmitsMs > 0)
        parts += format("retransmissions %.3f ms, ", s.retransmitsMs);
    if (s.heldMs > 0)
        parts += format("held for a later send %.3f ms, ", s.heldMs);
    parts += format("wire %.3f ms (%s, a byte each way), rest %.3f ms (%s)", s.wireMs,
                    f.span.wireLine.text().c_str(), s.restMs,
                    s.lanMs ? "device server and far device" : "far device");
    return wrapped(format("median %.3f ms:", s.medianMs), parts);
}

// What the counts came to: "nothing lost, changed or extra", "20 lost, 0 changed, 0 extra, line
// errors: parity 2", "the tester sent nothing".
std::string cameTo(const RelayFigures &f)
{
    const EchoCounts &e = f.span.echoes;
    const LineErrorCounts &l = f.chain.lineErrors;
    switch (f.outcome) {
    case Outcome::Clean:
        return std::string("nothing lost, changed or extra") +
               (l.reported() ? ", no line error reported" : "");
    case Outcome::NotClean:
        break;
    case Outcome::NothingTested:
        return "the tester sent nothing";
    }
    std::string text = format("%lld lost, %lld changed, %lld extra", e.lost, e.changed, e.extra);
    std::vector<std::string> errors;
    for (const auto &[name, n] : {std::pair{"framing", l.framing}, {"parity", l.parity},
                                  {"overrun", l.overrun}, {"buffer overrun", l.bufferOverrun},
                                  {"break", l.breaks}})
        if (n.value_or(0) > 0)
            errors.push_back(format("%s %lld", name, *n));
    return errors.empty() ? text : text + ", line errors: " + joined(errors);
}

// How a run ended that its chain ended: "the device server closed the connection"; empty when
// it ended as it was asked to (or goes on).
std::string chainEnded(const RelayFigures &f)
{
    const bool serial = f.chain.kind == "serial device";
    const std::string who = serial ? "the serial device" : "the device server";
    switch (f.endedBy.value_or(EndedBy::Interrupted)) {
    case EndedBy::TargetClosed:
        return who + " closed the connection";
    case EndedBy::TargetFailed:
        return serial ? who + " failed" : "the connection to " + who + " failed";
    case EndedBy::Com3Failed:
        return "COM3 could not be made again";
    case EndedBy::Interrupted:
    case EndedBy::TimeLimit:
    case EndedBy::CountReached:
        break;
    }
    return "";
}

// The last line: how the run ended where its chain ended it, and what it came to.
std::string outcomeLine(const RelayFigures &f)
{
    const std::string ended = chainEnded(f);
    std::string text = !ended.empty()   ? ended + " after " +
                                            count(f.span.echoes.echoed, "echo", "echoes") + ": "
                       : f.outcome == Outcome::Clean    ? "clean: "
                       : f.outcome == Outcome::NotClean ? "not clean: "
                                                        : "nothing tested: ";
    text += cameTo(f);
    if (f.exitStatus != 0)
        text += format(" (exit status %d)", f.exitStatus);
    const std::string line = wrapped("", text);
    return line.substr(0, line.size() - 1);
}

} // namespace

std::string summaryBlock(const RelayFigures &f)
{
    const std::string header = wrapped("---", format("%s to %s: %.2f s, %lld %s ---",
                                                     f.link.c_str(), f.target.c_str(), f.elapsedS,
                                                     f.runs, f.runs == 1 ? "run" : "runs"));
    std::string text = header + echoes(f) + chain(f.chain);
    if (f.span.split)
        text += split(*f.span.split, f);
    for (const Verdict &v : f.verdicts) {
        text += wrapped("verdict:", v.text);
        if (!v.step.empty())
            text += wrapped("    next step:", v.step);
    }
    return text + outcomeLine(f);
}
