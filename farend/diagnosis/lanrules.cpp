#include "farend/diagnosis/lanrules.h"

#include "farend/diagnosis/verdicts.h"
#include "farend/text/prose.h"

#include <algorithm>

namespace {

constexpr long long kHeldFrom = 30;     // paired echoes before holding them back can be told
constexpr double kHeldShare = 0.2;      // of them, released by a later send beyond chance
constexpr double kOverChance = 3;       // and this many times what chance alone would release
constexpr double kTailOver = 1.5;       // p99 over this many medians: retransmissions show
constexpr double kLossMatters = 0.01;   // of the echoes behind a loss: the retransmits matter
constexpr double kLossesPerSend = 0.01;   // segments sent again or out of order: a LAN that loses
constexpr long long kLossesFrom = 2;      // and never a single one
constexpr double kHeldCostsMs = 0.5;    // added to the median by holding: it matters

// The accepter ser2net's YAML needs for the relay's way in, with Nagle off.
std::string nodelayAccepter(const SpanFigures &f)
{
    return std::string("`accepter: ") + (f.rfc2217 ? "telnet(rfc2217)," : "") + "tcp(nodelay)," +
           (f.serverPort.empty() ? "PORT" : f.serverPort) + "`";
}

// Echoes, changed or not, paired with the send they answer.
long long paired(const SpanFigures &f)
{
    return f.echoes.echoed + f.echoes.changed;
}

// The same clear of any loss: behind a retransmission, echoes come with a later send's segment
// whether or not the device server holds them.
long long pairedClear(const SpanFigures &f)
{
    return paired(f) - f.echoes.behindLoss;
}

double releasedShare(const SpanFigures &f)
{
    return shareOf(f.echoes.released - f.echoes.releasedBehindLoss, pairedClear(f));
}

} // namespace

std::string nagleStep(const SpanFigures &f)
{
    if (f.server == "ser2net")
        return "turn Nagle off on ser2net's accepter: " + nodelayAccepter(f) + " in its YAML";
    return "turn Nagle off at the device server: for ser2net " + nodelayAccepter(f) +
           ", for others their TCP no-delay or packing setting";
}

double releaseChance(const SpanFigures &f)
{
    // echoes after a later send spread over the rest of the period, as many to each part of it
    const double window = f.releaseSlackMs + kReleaseEarlyMs;
    const double beyond = std::max(f.periodMs - f.releaseSlackMs, window);
    return shareOf(f.echoes.afterALaterSend - f.echoes.afterBehindLoss, pairedClear(f)) * window /
           beyond;
}

bool holdingTold(const SpanFigures &f)
{
    return !f.lanRttMs || (pairedClear(f) >= kHeldFrom && f.periodMs > 0);
}

bool holdsEchoes(const SpanFigures &f)
{
    if (!f.lanRttMs || !holdingTold(f))
        return false;
    const double share = releasedShare(f);
    const double chance = releaseChance(f);
    return share >= kOverChance * chance && share - chance >= kHeldShare;
}

bool holdingCosts(const SpanFigures &f)
{
    return holdsEchoes(f) && f.split && f.split->heldMs >= kHeldCostsMs;
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
                       lan + ms(f.wireMs) + " of wire for a byte out and back at " +
                       f.wireLine.text() +
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
    const double share = releasedShare(f);
    const double perRead = f.echoes.reads ? double(f.echoes.replies) / double(f.echoes.reads) : 0;
    std::string text = "held echoes: the device server lets an echo go only when a later byte "
                       "of the tester's reaches it; " +
                       percent(share) + " of the echoes" +
                       (f.echoes.behindLoss ? " no retransmission held up" : "") +
                       " came one LAN round trip (" +
                       ms(*f.lanRttMs) + ") after a later send, where chance would put " +
                       percent(releaseChance(f)) + "; " + format("%.1f", perRead) +
                       " replies a read (Nagle's algorithm: a small segment waits until the "
                       "last is acknowledged)";
    const double heldMs = f.split ? f.split->heldMs : 0;
    if (f.split && !f.split->beforeTheLine)
        text += "; waiting for the later send adds " + ms(heldMs) + " to the " +
                ms(f.split->medianMs) + " median";
    return Verdict{"held-echoes",
                   {{"released", f.echoes.released},
                    {"share", share},
                    {"chance_share", releaseChance(f)},
                    {"replies_per_read", perRead},
                    {"lan_rtt_ms", *f.lanRttMs},
                    {"held_ms", f.split ? FigureValue(heldMs) : FigureValue()}},
                   text,
                   nagleStep(f),
                   "packing"};
}

std::optional<Verdict> retransmits(const Evidence &e)
{
    const SpanFigures &f = e.f;
    if (!f.tcp || f.tcp->retransmitted + f.tcp->outOfOrder <= 0)
        return std::nullopt;
    const double behind = shareOf(f.echoes.behindLoss, f.echoes.echoed);
    const double added = f.split ? f.split->retransmitsMs : 0;
    const bool tail = f.roundTrip.p50Ms > 0 && f.roundTrip.p99Ms > kTailOver * f.roundTrip.p50Ms;
    // a segment sent again now and then (a timer on a busy machine) holds up next to nothing
    if (behind < kLossMatters)
        return std::nullopt;
    const TcpCounts &t = *f.tcp;
    // nor do a few over many sends, as a busy machine's tail-loss probes on a LAN that loses
    // nothing (loopback, 1 to 5 in 1000); a LAN that loses sends again in tens
    const long long again = t.retransmitted + t.outOfOrder;
    if (again < kLossesFrom || double(again) < kLossesPerSend * double(f.echoes.sends))
        return std::nullopt;
    std::vector<std::string> what;
    if (t.retransmitted > 0)
        what.push_back(count(t.retransmitted, "segment", "segments") + " sent again");
    if (t.outOfOrder > 0)
        what.push_back(count(t.outOfOrder, "segment", "segments") +
                       " received out of order, as after a loss on the way");
    std::string text = "retransmits: " + joined(what) + "; " + percent(behind) +
                       " of the echoes waited behind them";
    if (added > 0)
        text += ", adding " + ms(added) + " to the median";
    if (tail)
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
                    {"behind_share", behind},
                    {"added_ms", f.split ? FigureValue(added) : FigureValue()},
                    {"rtt_p99_ms",
                     f.echoes.echoed ? FigureValue(f.roundTrip.p99Ms) : FigureValue()}},
                   text,
                   step};
}
