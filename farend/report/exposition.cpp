#include "farend/report/exposition.h"

#include "farend/figures/fields.h"
#include "farend/text/prose.h"

#include <cmath>
#include <set>
#include <utility>

const char *const kExpositionType = "text/plain; version=0.0.4; charset=utf-8";
const double kRoundTripBucketsMs[14] = {1, 2, 3, 4, 5, 6, 8, 10, 15, 20, 50, 100, 250, 1000};

namespace {

// A label's value as the format quotes it.
std::string quoted(const std::string &value)
{
    std::string out = "\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out + "\"";
}

std::string number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    return format("%.9g", v);
}

// The text being written: a family's HELP and TYPE lines, then its samples, each with the
// relay's link and target among its labels.
class Writer {
public:
    explicit Writer(const RelayFigures &r)
        : labels("link=" + quoted(r.link) + ",target=" + quoted(r.target))
    {
    }
    // Starts the family `name` (after the relay's prefix).
    Writer &family(const std::string &name, const char *type, const char *help)
    {
        current = "farend_relay_" + name;
        text += "# HELP " + current + " " + help + "\n# TYPE " + current + " " + type + "\n";
        return *this;
    }
    // A sample of the family, `suffix` after its name, `more` labels after the relay's.
    Writer &sample(const std::string &value, const std::string &more = {},
                   const char *suffix = "")
    {
        text += current + suffix + "{" + labels + (more.empty() ? "" : "," + more) + "} " + value +
                "\n";
        return *this;
    }
    Writer &count(long long v) { return sample(std::to_string(v)); }

    std::string text;

private:
    const std::string labels;
    std::string current;
};

std::string total(const char *name)
{
    return std::string(name) + "_total";
}

void counts(Writer &w, const RelayFigures &r)
{
    const EchoCounts &e = r.span.echoes;
    w.family(total(field::sends), "counter", "The tester's bytes, each waiting for its echo.")
        .count(e.sends);
    w.family(total(field::echoed), "counter", "Replies counted as the echo of a send.")
        .count(e.echoed);
    w.family(total(field::lost), "counter",
             "Sends without an echo after 1 s, or still waiting when a new run started.")
        .count(e.lost);
    w.family(total(field::changed), "counter", "Replies counted as a changed echo of a send.")
        .count(e.changed);
    w.family(total(field::extra), "counter", "Replies that answer nothing sent.").count(e.extra);
    w.family(total(field::late), "counter", "Echoes after the tester's 5 ms read.").count(e.late);
    w.family(total(field::released), "counter",
             "Held echoes: echoes that came one LAN round trip after a later send.")
        .count(e.released);
    w.family(std::string(field::toChain) + "_bytes_total", "counter",
             "Bytes carried from COM3 to the target.")
        .count(r.span.toChain);
    w.family(std::string(field::fromChain) + "_bytes_total", "counter",
             "Bytes carried from the target.")
        .count(r.span.fromChain);
    w.family(total(field::runs), "counter", "Times the tester opened COM3.").count(r.runs);
}

// What the chain reported; a count no one reported has no sample, never a zero.
void chainCounts(Writer &w, const RelayFigures &r)
{
    const LineErrorCounts &l = r.span.lineErrors;
    w.family(total(field::lineErrors), "counter",
             "Line errors by kind, as the device server or the driver reported them.");
    const std::pair<const char *, const LineErrorCounts::Count *> kinds[] = {
        {"framing", &l.framing}, {"parity", &l.parity}, {"overrun", &l.overrun},
        {"break", &l.breaks}};
    for (const auto &[kind, n] : kinds)
        if (*n)
            w.sample(std::to_string(**n), "kind=" + quoted(kind));
    w.family("tcp_retransmitted_total", "counter",
             "TCP segments the relay sent again to the target, as the kernel counted them.");
    if (r.span.tcp)
        w.count(r.span.tcp->retransmitted);
}

void roundTrip(Writer &w, const ScrapeFigures &s)
{
    w.family(field::roundTripMs, "histogram",
             "Round trip, ms: the tester's byte reaching the relay to its echo reaching it.");
    std::size_t bin = 0;
    long long below = 0;
    for (double le : kRoundTripBucketsMs) {
        for (; bin < s.roundTrip.size() && s.roundTrip[bin].toMs <= le + 1e-9; ++bin)
            below += s.roundTrip[bin].count;
        w.sample(std::to_string(below), "le=" + quoted(number(le)), "_bucket");
    }
    w.sample(std::to_string(s.roundTrips), "le=\"+Inf\"", "_bucket");
    w.sample(number(s.roundTripSumMs), {}, "_sum");
    w.sample(std::to_string(s.roundTrips), {}, "_count");
}

// The last interval's gauges and verdicts; without intervals, the run's so far.
void inForce(Writer &w, const ScrapeFigures &s)
{
    const SpanFigures &span = s.lastInterval ? s.lastInterval->span : s.run.span;
    const std::vector<Verdict> &verdicts =
        s.lastInterval ? s.lastInterval->verdicts : s.run.verdicts;
    w.family(field::com3Open, "gauge", "1 while the tester has COM3 open.")
        .count(s.com3Open ? 1 : 0);
    w.family(field::lateShare, "gauge",
             "Late echoes / echoes in the last interval; none without echoes.");
    if (span.echoes.echoed)
        w.sample(number(shareOf(span.echoes.late, span.echoes.echoed)));
    w.family("lan_min_rtt_ms", "gauge",
             "The LAN's least round trip, ms, as the kernel saw it on the connection.");
    if (s.run.chain.lan)
        w.sample(number(s.run.chain.lan->minMs));
    w.family("verdict", "gauge", "1 for each verdict of the last interval, by code and cause.");
    std::set<std::pair<std::string, std::string>> said;
    for (const Verdict &v : verdicts)
        if (said.emplace(v.code, v.cause).second)
            w.sample("1", "code=" + quoted(v.code) +
                              (v.cause.empty() ? "" : ",cause=" + quoted(v.cause)));
}

} // namespace

std::string exposition(const ScrapeFigures &s)
{
    Writer w(s.run);
    counts(w, s.run);
    chainCounts(w, s.run);
    roundTrip(w, s);
    inForce(w, s);
    return w.text;
}
