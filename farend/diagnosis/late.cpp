// The late verdict: echoes past the tester's read, and where the median round trip goes, from
// the time split: every part that alone puts an echo past the read, the largest first, with
// their steps in that order, and whether any setting of the device server can meet the read.
#include "farend/diagnosis/lanrules.h"
#include "farend/diagnosis/verdicts.h"
#include "farend/text/prose.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kNamedFromMs = 0.05;    // a smaller part is not named
constexpr double kAdapterWaitMs = 16;    // an FTDI adapter's latency timer, as it comes

// A part of the median round trip as a cause of late echoes.
struct Cause {
    std::string code;     // the verdict's cause
    std::string what;     // "the LAN's round trip"
    double ms = 0;
    bool alone = false;   // with nothing but the wire beside it, past the read
    std::string never;    // where no setting of the device server takes it away: "over this LAN"
    std::string step;
};

// How many ticks after its own the tester reads an echo that took `rttMs`.
long long ticksLate(double rttMs, const SpanFigures &f)
{
    if (f.periodMs <= 0 || rttMs <= f.readMs)
        return 0;
    return static_cast<long long>(std::ceil((rttMs - f.readMs) / f.periodMs));
}

// ", or expect the echoes 5 to 9 ticks late" (the median's to the p99's); empty without a period.
std::string ticksText(const SpanFigures &f)
{
    const long long low = ticksLate(f.roundTrip.p50Ms, f), high = ticksLate(f.roundTrip.p99Ms, f);
    if (high == 0)
        return "";
    const std::string late = " " + std::string(high == 1 ? "tick" : "ticks") + " late";
    if (low == high)
        return ", or expect the echoes " + std::to_string(high) + late;
    return ", or expect the echoes " + (low ? std::to_string(low) + " to " : "up to ") +
           std::to_string(high) + late;
}

bool behindAServer(const SpanFigures &f)
{
    return f.lanRttMs || !f.serverPort.empty();
}

// The rest: the device server's own wait (ser2net's two characters' time, at least 1 ms) or a
// USB adapter's latency timer, then the far device, which no setting on the way takes away.
Cause rest(const SpanFigures &f, double restMs)
{
    const bool server = behindAServer(f);
    const double charMs = f.line.baud ? f.line.frameBits() * 1000.0 / f.line.baud : 0;
    const double ownMs = server ? std::max(1.0, 2 * charMs) : kAdapterWaitMs;
    Cause c;
    c.code = "behind";
    c.what = server ? "the device server and the far device" : "the adapter and the far device";
    c.ms = restMs;
    // the far device alone, once holding at the device server could be told from it; where the
    // server held echoes for an acknowledgement, one no later send let go may still have waited
    // up to a LAN round trip for its own, which the rest then holds
    const double unsure = holdsEchoes(f) ? f.lanRttMs.value_or(0) : 0;
    if (restMs - ownMs - unsure + f.wireMs > f.readMs && holdingTold(f)) {
        c.never = "with this far device";
        c.step = "the far device takes about " + ms(restMs - std::min(ownMs, restMs)) +
                 " to answer, beyond " + (server ? "the device server's" : "the adapter's") +
                 " own wait: make it answer sooner";
    } else if (server) {
        c.step = std::string("look behind the device server: ") +
                 (f.server == "ser2net" ? "ser2net" : "a device server such as ser2net") +
                 " waits two characters' time for more before it sends what its port received "
                 "(`chardelay: false` in the connection's options), then the far device takes "
                 "its own time";
    } else {
        c.step = "a USB adapter sends what it received when its latency timer runs out (16 ms "
                 "on FTDI chips; set it to 1 in /sys/bus/usb-serial/devices/*/latency_timer), "
                 "then the far device takes its own time";
    }
    return c;
}

// The split's parts as causes, the largest first.
std::vector<Cause> causes(const Evidence &e)
{
    const SpanFigures &f = e.f;
    const TimeSplit &s = *f.split;
    std::vector<Cause> out;
    if (s.lanMs)
        out.push_back({"lan", "the LAN's round trip", *s.lanMs, false, "over this LAN",
                       "put the tester on a LAN whose round trip is well under " + ms(f.readMs) +
                           ticksText(f)});
    out.push_back({"retransmits", "retransmissions", s.retransmitsMs, false, "over this LAN",
                   "look for the loss on the LAN: the error counters of the switch ports and of "
                   "the device server, `ip -s link`, the cables and duplex"});
    out.push_back({"packing", "echoes held for a later send", s.heldMs, false, "", nagleStep(f)});
    out.push_back({"wire", "the wire at " + f.wireLine.text(), s.wireMs, false, "at this rate",
                   "a byte out and back takes " + ms(s.wireMs) + " at " + f.wireLine.text() +
                       ": set a faster rate at both ends"});
    out.push_back(rest(f, s.restMs));
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const Cause &c) { return c.ms < kNamedFromMs; }),
              out.end());
    for (Cause &c : out)
        c.alone = c.ms + (c.code == "wire" ? 0 : s.wireMs) > f.readMs;
    std::stable_sort(out.begin(), out.end(),
                     [](const Cause &a, const Cause &b) { return a.ms > b.ms; });
    return out;
}

// "A 20 ms and B 18 ms".
std::string listed(const std::vector<Cause> &cs)
{
    std::string out;
    for (std::size_t i = 0; i < cs.size(); ++i)
        out += (i == 0 ? "" : i + 1 == cs.size() ? " and " : ", ") + cs[i].what + " " +
               ms(cs[i].ms);
    return out;
}

// "first A; then B".
std::string steps(const std::vector<Cause> &cs)
{
    std::string out;
    for (std::size_t i = 0; i < cs.size(); ++i)
        out += (i == 0 ? (cs.size() > 1 ? "first " : "") : "; then ") + cs[i].step;
    return out;
}

// Where the median goes, and what to do, the largest cause first.
void budget(const Evidence &e, Verdict &v)
{
    const SpanFigures &f = e.f;
    const std::vector<Cause> all = causes(e);
    std::vector<Cause> named;
    std::copy_if(all.begin(), all.end(), std::back_inserter(named),
                 [](const Cause &c) { return c.alone; });
    const std::string median = "of the " + ms(f.split->medianMs) + " median, ";
    if (!named.empty()) {
        v.text += "; " + median + listed(named) +
                  (named.size() > 1 ? ", each alone enough to miss it" : ", alone enough to miss "
                                                                         "it");
    } else {
        // no part alone: those beside the wire, together, or the tail past a median that meets it
        std::copy_if(all.begin(), all.end(), std::back_inserter(named),
                     [](const Cause &c) { return c.code != "wire" && c.code != "lan"; });
        if (named.empty())
            named = all;
        named.resize(std::min<std::size_t>(named.size(), 1));
        v.text += f.split->medianMs > f.readMs
                      ? "; " + median + listed(all) + ": none alone misses it, together they do"
                      : "; the " + ms(f.split->medianMs) + " median meets it: the late ones are "
                        "its tail (p99 " + ms(f.roundTrip.p99Ms) + "); the median's largest part "
                        "beside the wire: " + listed(named);
    }
    std::vector<std::string> never;
    for (const Cause &c : named)
        if (!c.never.empty() && std::find(never.begin(), never.end(), c.never) == never.end())
            never.push_back(c.never);
    if (!never.empty() && named.front().alone) {
        std::string where;
        for (std::size_t i = 0; i < never.size(); ++i)
            where += (i ? " or " : "") + never[i];
        v.text += "; the read can never be met " + where + ", whatever the device server does";
    }
    if (!named.empty()) {
        v.cause = named.front().code;
        v.step = steps(named);
    }
}

} // namespace

std::optional<Verdict> late(const Evidence &e)
{
    const SpanFigures &f = e.f;
    if (f.echoes.echoed <= 0 || e.lateShare <= kLateShare)
        return std::nullopt;
    const TimeSplit none;
    const TimeSplit &s = f.split ? *f.split : none;
    Verdict v{"late",
              {{"late", f.echoes.late},
               {"share", e.lateShare},
               {"rtt_median_ms", f.roundTrip.p50Ms},
               {"lan_rtt_ms", measured(f.lanRttMs)},
               {"retransmits_ms", s.retransmitsMs},
               {"held_ms", s.heldMs},
               {"wire_ms", f.wireMs},
               {"rest_ms", s.restMs}},
              "late: " + percent(e.lateShare) + " of the echoes miss the tester's " +
                  ms(f.readMs) + " read",
              "look behind the device server, and at the far device",
              "behind"};
    if (f.split && !f.split->beforeTheLine)
        budget(e, v);
    return v;
}
