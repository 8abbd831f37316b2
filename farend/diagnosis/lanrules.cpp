#include "farend/diagnosis/lanrules.h"

#include "farend/diagnosis/verdicts.h"
#include "farend/text/prose.h"

#include <algorithm>

namespace {

constexpr long long kHeldFrom = 50;     // echoes before holding them back can be told
constexpr double kHeldShare = 0.2;      // of the echoes, released by a later send, at least
constexpr double kOverChance = 3;       // and this many times the share chance alone would give
constexpr double kChanceAtMost = 0.1;   // the share chance alone would release: more, no telling
constexpr double kTailOver = 1.5;       // p99 over this many medians: retransmissions show

// The accepter ser2net's YAML needs for the relay's way in, with Nagle off.
std::string nodelayAccepter(const SpanFigures &f)
{
    return std::string("`accepter: ") + (f.rfc2217 ? "telnet(rfc2217)," : "") + "tcp(nodelay)," +
           (f.serverPort.empty() ? "PORT" : f.serverPort) + "`";
}

std::string nagleStep(const SpanFigures &f)
{
    if (f.server == "ser2net")
        return "turn Nagle off on ser2net's accepter: " + nodelayAccepter(f) + " in its YAML";
    return "turn Nagle off at the device server: for ser2net " + nodelayAccepter(f) +
           ", for others their TCP no-delay or packing setting";
}

} // namespace

bool holdsEchoes(const SpanFigures &f)
{
    if (!f.lanRttMs || f.echoes.echoed < kHeldFrom || f.periodMs <= 0)
        return false;
    // an echo that came at a random time falls in the window after one of the sends so often
    const double chance = (releaseSlackMs(*f.lanRttMs) + kReleaseEarlyMs) / f.periodMs;
    const double share = shareOf(f.echoes.released, f.echoes.echoed);
    return chance <= kChanceAtMost && share >= std::max(kHeldShare, kOverChance * chance);
}

std::optional<Verdict> early(const Evidence &e)
{
    const SpanFigures &f = e.f;
    if (f.echoes.echoed == 0 || f.wireMs <= 0 || !f.split || !f.split->beforeTheLine)
        return std::nullopt;
    const std::string lan = f.lanRttMs ? "the LAN's " + ms(*f.lanRttMs) + " and " : "";
    return Verdict{"early",
                   {{"rtt_median_ms", f.roundTrip.p50Ms},
                    {"lan_rtt_ms", measured(f.lanRttMs)},
                    {"wire_ms", f.wireMs}},
                   "early: the median round trip (" + ms(f.roundTrip.p50Ms) + ") is shorter than " +
                       lan + ms(f.wireMs) + " of wire for a byte out and back at " + f.line.text() +
                       ": something answers before the serial line, as a device server's local "
                       "echo or a loopback does",
                   "turn off any local echo at the device server, and check that its port is "
                   "wired to the far device, not looped back"};
}

std::optional<Verdict> heldEchoes(const Evidence &e)
{
    const SpanFigures &f = e.f;
    if (!e.holdsEchoes)
        return std::nullopt;
    const double share = shareOf(f.echoes.released, f.echoes.echoed);
    const double perRead = f.echoes.reads ? double(f.echoes.replies) / double(f.echoes.reads) : 0;
    std::string text = "held echoes: the device server lets an echo go only when a later byte "
                       "of the tester's reaches it; " +
                       percent(share) + " of the echoes came one LAN round trip (" +
                       ms(*f.lanRttMs) + ") after a later send, " + format("%.1f", perRead) +
                       " replies a read (Nagle's algorithm: a small segment waits until the "
                       "last is acknowledged)";
    if (*f.lanRttMs >= 1)
        text += "; each echo pays about one more LAN round trip";
    return Verdict{"held-echoes",
                   {{"released", f.echoes.released},
                    {"share", share},
                    {"replies_per_read", perRead},
                    {"lan_rtt_ms", *f.lanRttMs}},
                   text,
                   nagleStep(f),
                   "packing"};
}

std::optional<Verdict> retransmits(const Evidence &e)
{
    const SpanFigures &f = e.f;
    if (!f.tcp || f.tcp->retransmitted + f.tcp->outOfOrder <= 0)
        return std::nullopt;
    const TcpCounts &t = *f.tcp;
    std::string what;
    if (t.retransmitted > 0)
        what = "the relay sent " + count(t.retransmitted, "segment", "segments") + " again";
    if (t.outOfOrder > 0)
        what += (what.empty() ? "" : ", and ") +
                count(t.outOfOrder, "segment came", "segments came") +
                " to it out of order, as after a loss on the way";
    std::string text = "retransmits: the LAN lost segments: " + what;
    if (f.roundTrip.p50Ms > 0 && f.roundTrip.p99Ms > kTailOver * f.roundTrip.p50Ms)
        text += "; they make the tail: p99 " + ms(f.roundTrip.p99Ms) + " against a " +
                ms(f.roundTrip.p50Ms) + " median";
    std::string step = "look for the loss on the LAN: the error counters of the switch ports and "
                       "of the device server, `ip -s link`, the cables and duplex; `ping -c 1000 "
                       "HOST` shows the rate";
    if (e.holdsEchoes)
        step += "; turn Nagle off first, since behind it each loss waits for a retransmission "
                "time-out";
    return Verdict{"retransmits",
                   {{"retransmitted", t.retransmitted},
                    {"out_of_order", t.outOfOrder},
                    {"rtt_p99_ms",
                     f.echoes.echoed ? FigureValue(f.roundTrip.p99Ms) : FigureValue()}},
                   text,
                   step};
}

std::optional<Verdict> late(const Evidence &e)
{
    const SpanFigures &f = e.f;
    if (f.echoes.echoed <= 0 || e.lateShare <= kLateShare)
        return std::nullopt;
    Verdict v{"late",
              {{"late", f.echoes.late},
               {"share", e.lateShare},
               {"rtt_median_ms", f.roundTrip.p50Ms},
               {"lan_rtt_ms", measured(f.lanRttMs)},
               {"wire_ms", f.wireMs}},
              "late: " + percent(e.lateShare) + " of the echoes miss the tester's " +
                  ms(f.readMs) + " read",
              "",
              "behind"};
    const std::string ofTheMedian = " of the " + ms(f.roundTrip.p50Ms) + " median";
    if (e.holdsEchoes) {
        v.cause = "packing";
        v.text += "; the time goes in the device server holding echoes for a later send";
        v.step = "turn Nagle off at the device server first, as the held-echoes verdict says";
    } else if (f.lanRttMs && *f.lanRttMs >= f.readMs) {
        v.cause = "lan";
        v.text += "; the LAN's least round trip (" + ms(*f.lanRttMs) + ") alone is over the " +
                  ms(f.readMs) + " read, so it can never be met over this LAN";
        v.step = "put the tester on a LAN with a round trip well under " + ms(f.readMs) +
                 ", or expect each echo a tick late";
    } else if (f.lanRttMs && *f.lanRttMs >= 0.5 * f.roundTrip.p50Ms) {
        v.cause = "lan";
        v.text += "; the LAN accounts for " + ms(*f.lanRttMs) + ofTheMedian +
                  ", so the time goes on the LAN";
        v.step = "look at the LAN's own delay (`ping HOST`): a long or busy path adds it";
    } else if (f.lanRttMs || !f.serverPort.empty()) {
        v.text += f.lanRttMs ? "; the LAN accounts for " + ms(*f.lanRttMs) + ofTheMedian +
                                   ", so the time goes behind the device server"
                             : "; the wire accounts for " + ms(f.wireMs) + ofTheMedian +
                                   ", and the time goes behind the device server";
        v.step = std::string("look behind the device server: ") +
                 (f.server == "ser2net" ? "ser2net" : "a device server such as ser2net") +
                 " waits two characters' time for more before it sends what its port received "
                 "(`chardelay: false` in the connection's options), then the far device takes "
                 "its own time";
    } else {
        v.text += "; the wire accounts for " + ms(f.wireMs) + ofTheMedian +
                  ", so the time goes in the adapter or the far device";
        v.step = "a USB adapter sends what it received when its latency timer runs out (16 ms "
                 "on FTDI chips; set it to 1 in /sys/bus/usb-serial/devices/*/latency_timer), "
                 "then the far device takes its own time";
    }
    return v;
}
