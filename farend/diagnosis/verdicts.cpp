#include "farend/diagnosis/verdicts.h"

#include "farend/diagnosis/lanrules.h"
#include "farend/diagnosis/naming.h"
#include "farend/text/prose.h"

#include <algorithm>
#include <tuple>

namespace {

// One verdict's rule: the verdict when its trigger holds.
using Rule = std::optional<Verdict> (*)(const Evidence &);

std::optional<Verdict> silent(const Evidence &e)
{
    if (!e.silent)
        return std::nullopt;
    return Verdict{"silent",
                   {{"sent", e.f.echoes.sends}},
                   "silent: none of " + std::to_string(e.f.echoes.sends) +
                       " bytes came back; the far device does not answer, or the line between "
                       "the device server and it is open",
                   "check that the far device has power and answers, and the cable from the "
                   "port to it (TX to RX, ground); a loop-back plug at the port shows whether "
                   "the near side works"};
}

// Lost or extra replies a recognised mapping accounts for: its own (it gives fewer or more replies
// a cycle than it is sent), or a few beside its changed replies, where a garbled reply now and
// then pairs with another send. Others, in a run that was also set wrong, have a cause of their own.
bool mappingAccounts(const SpanFigures &f, long long n, bool (RecognisedMapping::*own)() const)
{
    return f.mapping && ((*f.mapping.*own)() || n * 50 <= f.echoes.changed);
}

// What a recognised mapping accounts for: the replies counted wrong, and the line errors the
// setting makes the device server's UART report.
std::string accountedFor(const Evidence &e)
{
    const SpanFigures &f = e.f;
    std::vector<std::string> parts;
    if (f.echoes.changed > 0)
        parts.push_back(std::to_string(f.echoes.changed) + " changed");
    if (f.echoes.lost > 0 && mappingAccounts(f, f.echoes.lost, &RecognisedMapping::losesReplies))
        parts.push_back(std::to_string(f.echoes.lost) + " lost");
    if (f.echoes.extra > 0 && mappingAccounts(f, f.echoes.extra, &RecognisedMapping::addsReplies))
        parts.push_back(std::to_string(f.echoes.extra) + " extra");
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    out += parts.empty() ? "the replies" : " replies";
    for (const auto &[count, predicted, what] :
         {std::tuple{f.lineErrors.framing, f.mapping->framingPerCycle, "framing"},
          std::tuple{f.lineErrors.parity, f.mapping->parityPerCycle, "parity"}})
        if (count.value_or(0) > 0 && predicted > 0 && f.mapping->explained())
            out += " and the " + std::to_string(*count) + " " + what + " errors reported by " +
                   e.who;
    return out;
}

std::optional<Verdict> mismatch(const Evidence &e)
{
    if (!e.f.mapping)
        return std::nullopt;
    const RecognisedMapping &m = *e.f.mapping;
    const SpanFigures &f = e.f;
    const NamedSetting *first = m.explained() ? &m.named.front() : nullptr;
    const auto rate = [&](std::uint32_t NamedSetting::*of) {
        return first ? FigureValue(static_cast<long long>(first->*of)) : FigureValue();
    };
    std::vector<Figure> figures{{"sent", f.echoes.sends},
                                {"changed", f.echoes.changed},
                                {"lost", f.echoes.lost},
                                {"extra", f.echoes.extra},
                                {"stable", m.stable},
                                {"rate", rate(&NamedSetting::rate)},
                                {"rate_low", rate(&NamedSetting::low)},
                                {"rate_high", rate(&NamedSetting::high)},
                                {"replies_per_cycle", static_cast<long long>(m.repliesPerCycle)},
                                {"settings_not_named", static_cast<long long>(m.moreSettings)}};
    const std::string code = m.code();
    if (!first)
        return Verdict{code, figures,
                       "systematic: " + accountedFor(e) + "; " + mappingText(m) + ": not noise",
                       mappingStep(m)};
    const std::string title = code == "wrong-speed"    ? "wrong speed"
                              : code == "wrong-format" ? "wrong frame format"
                                                       : "wrong speed and frame format";
    return Verdict{code, figures,
                   title + ": " + mappingText(m) +
                       (m.portAgainstReport() || m.readsAsBytes() ? ""
                                                                   : ", against the tester's " +
                                                                         m.tester.text()) +
                       "; that explains " + accountedFor(e),
                   mappingStep(m)};
}

// Whether the recognised setting makes the device server report errors of this kind.
bool explainedErrors(const Evidence &e, long long RecognisedMapping::*perCycle)
{
    return e.f.mapping && e.f.mapping->explained() && (*e.f.mapping).*perCycle > 0;
}

// A line error the reporter counted, once it counted one.
std::optional<Verdict> lineError(const Evidence &e, const LineErrorCounts::Count &count,
                                 const char *code, const char *figure, const char *what,
                                 const char *meaning, std::string step)
{
    if (count.value_or(0) <= 0)
        return std::nullopt;
    return Verdict{code,
                   {{figure, *count}},
                   std::string(what) + " reported by " + e.who + " (" + std::to_string(*count) +
                       "): " + meaning,
                   std::move(step)};
}

std::optional<Verdict> framingErrors(const Evidence &e)
{
    if (explainedErrors(e, &RecognisedMapping::framingPerCycle))
        return std::nullopt;
    return lineError(e, e.f.lineErrors.framing, "framing-errors", "framing", "framing errors",
                     "its serial side and the far device disagree on speed or format",
                     "set the far device and the port to the same speed and format, the "
                     "tester's " + e.f.line.text());
}

std::optional<Verdict> parityErrors(const Evidence &e)
{
    if (explainedErrors(e, &RecognisedMapping::parityPerCycle))
        return std::nullopt;
    return lineError(e, e.f.lineErrors.parity, "parity-errors", "parity", "parity errors",
                     "the two ends disagree on parity, or the line is noisy",
                     "set both ends to the tester's parity (" + e.f.line.text() +
                         "); where they agree, look for noise: the cable's length, shield and "
                         "ground");
}

std::optional<Verdict> overruns(const Evidence &e)
{
    const LineErrorCounts &l = e.f.lineErrors;
    const long long n = l.overrun.value_or(0) + l.bufferOverrun.value_or(0);
    if (n <= 0)
        return std::nullopt;
    return Verdict{"overrun",
                   {{"overrun", l.overrun ? FigureValue(*l.overrun) : FigureValue()},
                    {"buffer_overrun", l.bufferOverrun ? FigureValue(*l.bufferOverrun)
                                                       : FigureValue()}},
                   "overruns reported by " + e.who + " (" + std::to_string(n) +
                       "): bytes came in faster than they were taken and were lost there",
                   "turn on flow control (RTS/CTS) between the port and the far device, or "
                   "lower the speed at both ends"};
}

std::optional<Verdict> breaks(const Evidence &e)
{
    return lineError(e, e.f.lineErrors.breaks, "breaks", "breaks", "breaks",
                     "the line was held low, as by a far device without power or a loose wire",
                     "check the far device's power and the cable's connectors");
}

std::optional<Verdict> lost(const Evidence &e)
{
    const SpanFigures &f = e.f;
    const EchoCounts &c = f.echoes;
    if (c.lost <= 0 || e.silent || mappingAccounts(f, c.lost, &RecognisedMapping::losesReplies))
        return std::nullopt;
    const LineErrorCounts &l = f.lineErrors;
    std::string text = "lost " + count(c.lost, "echo", "echoes") + " (" +
                       percent(shareOf(c.lost, c.sends)) + " of the sends)";
    std::string step;
    if (!f.reporter.empty() && l.overrun == 0 && l.framing == 0) {
        text += "; " + f.reporter + " reported no overrun and no framing error";
        step = "the line showed no error: look at the far device, which did not answer them "
               "(its receive handling, its buffer, a reset)";
    } else if (!f.reporter.empty() && !l.overrun && !l.framing) {
        text += "; " + f.reporter + " did not report its line errors";
        step = "look at the port's own counters (the device server's status page) and at the "
               "far device";
    } else if (f.reporter.empty()) {
        step = "relay over rfc2217:// so that the device server reports its line errors, or look "
               "at its status page and at the far device";
    } else {
        step = "the line errors above come first; then look at the far device";
    }
    return Verdict{"lost", {{"lost", c.lost}, {"share", shareOf(c.lost, c.sends)}}, text, step};
}

// Changed or extra replies before the replies of two test cycles could be compared.
constexpr char kTooFewCycles[] = "too few test cycles yet to tell a wrong speed or format from "
                                 "noise";
constexpr char kSendMoreCycles[] = "let the tester send a few more cycles of 36 bytes: the relay "
                                   "then names a wrong speed or format, or calls it noise";

std::optional<Verdict> changed(const Evidence &e)
{
    const SpanFigures &f = e.f;
    const EchoCounts &c = f.echoes;
    if (c.changed <= 0 || f.mapping)
        return std::nullopt;
    return Verdict{"changed",
                   {{"changed", c.changed}, {"share", shareOf(c.changed, c.sends)}},
                   "changed " + count(c.changed, "echo", "echoes") + " (" +
                       percent(shareOf(c.changed, c.sends)) + " of the sends); " +
                       (f.cyclesRead ? "no speed or format explains them: noise, or a far "
                                       "device that answers something else"
                                     : kTooFewCycles),
                   f.cyclesRead ? "look for noise on the serial line (the cable's length, "
                                  "shield and ground), and at what the far device answers"
                                : kSendMoreCycles};
}

std::optional<Verdict> extra(const Evidence &e)
{
    const SpanFigures &f = e.f;
    const long long n = f.echoes.extra;
    if (n <= 0 || mappingAccounts(f, n, &RecognisedMapping::addsReplies))
        return std::nullopt;
    return Verdict{"extra",
                   {{"extra", n}},
                   std::to_string(n) + " extra " + (n == 1 ? "byte" : "bytes") +
                       " came back that answer nothing sent" +
                       (f.cyclesRead ? ": a far device that talks on its own, or noise"
                                     : "; " + std::string(kTooFewCycles)),
                   f.cyclesRead ? "find what else talks on the line: the far device's own "
                                  "messages, or a floating receive line"
                                : kSendMoreCycles};
}

std::optional<Verdict> modemLines(const Evidence &e)
{
    const std::optional<long long> &n = e.f.modemChanges;
    if (n.value_or(0) <= 0)
        return std::nullopt;
    return Verdict{"modem-lines",
                   {{"changes", *n}},
                   "the modem lines changed " + count(*n, "time", "times") +
                       ": a far device that resets, or a loose cable",
                   "check the far device's power and the cable's connectors"};
}

// The rules, the gravest first.
constexpr Rule kRules[] = {silent, mismatch, framingErrors, parityErrors, overruns,
                           breaks, lost,     changed,       extra,        early,
                           heldEchoes, retransmits, late,   modemLines};

} // namespace

std::vector<Verdict> verdicts(const SpanFigures &f)
{
    const EchoCounts &c = f.echoes;
    if (c.sends == 0)
        return {{"idle", {}, "idle: nothing was sent to the chain",
                 "open COM3 with the tester and start it: a run that sends nothing tests "
                 "nothing"}};
    const Evidence evidence{f, f.reporter.empty() ? "the chain" : f.reporter,
                            c.echoed == 0 && c.changed == 0 && c.extra == 0,
                            shareOf(c.late, c.echoed), holdsEchoes(f)};
    std::vector<Verdict> out;
    for (Rule rule : kRules)
        if (std::optional<Verdict> v = rule(evidence))
            out.push_back(std::move(*v));
    if (out.empty())
        out.push_back({"clean",
                       {{"echoed", c.echoed},
                        {"sent", c.sends},
                        {"late_share", evidence.lateShare}},
                       "clean: " + std::to_string(c.echoed) + " of " + std::to_string(c.sends) +
                           " echoed, " + percent(evidence.lateShare) + " of them late",
                       "none needed"});
    return out;
}
