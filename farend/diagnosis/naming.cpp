#include "farend/diagnosis/naming.h"

#include "farend/text/prose.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <tuple>

namespace {
constexpr std::size_t kNamedAtMost = 4;

// How unusual a setting is: a standard rate before a known one before any other, the commonest
// formats before the rest. Equal settings keep the explainer's order (place, then format).
int rateCost(const NamedSetting &s)
{
    if (!s.estimate)
        return 0;
    const auto &known = knownRates();
    const bool isKnown = std::any_of(known.begin(), known.end(),
                                     [&](std::uint32_t r) { return r >= s.low && r <= s.high; });
    // a span of one step of the scan rests on one trial: less likely than a wider one
    return (isKnown ? 2 : 3) + (s.low == s.high ? 1 : 0);
}

int formatCost(const LineSettings &f)
{
    if (f.dataBits == 8 && f.parity == 'N' && f.stopBits == 1)
        return 0;
    const bool common = (f.dataBits == 7 || f.dataBits == 8) && f.parity != 'M' && f.parity != 'S';
    return common ? 1 : 2;
}

int cost(const NamedSetting &s)
{
    // a port its device server said is at the tester's settings is set so, unless nothing else
    // explains the replies nearly as well
    return rateCost(s) + formatCost(s.formats.front()) + (s.againstReport ? 2 : 0);
}

// The estimate's figure: a known rate in the span, or its middle to three digits.
std::uint32_t roundFigure(std::uint32_t low, std::uint32_t high)
{
    for (std::uint32_t r : knownRates())
        if (r >= low && r <= high)
            return r;
    const double middle = std::sqrt(double(low) * double(high));
    const double unit = std::pow(10.0, std::floor(std::log10(middle)) - 2);
    return static_cast<std::uint32_t>(std::lround(middle / unit) * unit);
}

// "31 250": an estimate's figures, grouped as a sentence reads them.
std::string grouped(std::uint32_t n)
{
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ' ';
        out += digits[i];
    }
    return out;
}

// The formats at a setting: a few named, many said not to show.
std::string formatsInWords(const std::vector<LineSettings> &formats)
{
    const LineSettings &first = formats.front();
    const bool onlyStops = std::all_of(formats.begin(), formats.end(), [&](const LineSettings &f) {
        return f.dataBits == first.dataBits && f.parity == first.parity;
    });
    if (formats.size() == 1)
        return " " + first.format();
    if (onlyStops)
        return " " + first.format() + " or " + formats[1].format() + " (the stop bits do not show)";
    if (formats.size() > 4)
        return " (the frame format does not show)";
    std::string out = " " + first.format();
    for (std::size_t i = 1; i < formats.size(); ++i)
        out += (i + 1 == formats.size() ? " or " : ", ") + formats[i].format();
    return out;
}

// "the far device at 19200 8N1"; `again`: the place was just named, "at 19200 8N1".
std::string placeAt(const NamedSetting &s, const LineSettings &tester, bool again = false)
{
    const std::string formats = formatsInWords(s.formats);
    const std::string rate =
        s.estimate && s.low == s.high ? "about " + grouped(s.rate) + " baud"
        : s.estimate ? "about " + grouped(s.rate) + " baud (" + grouped(s.low) + " to " +
                           grouped(s.high) + ")"
        : formats[1] == '(' ? std::to_string(s.rate) + " baud"
                            : std::to_string(s.rate);
    switch (s.where) {
    case Place::FarDevice: return (again ? "at " : "the far device at ") + rate + formats;
    case Place::ServerPort: return (again ? "at " : "the device server's port at ") + rate + formats;
    default:
        return (again ? "reading at " : "a far end reading at ") + rate + formats +
               " and answering at the tester's " + tester.text();
    }
}

// ser2net's way of writing a port's settings on its connector line: "9600n81".
std::string ser2netSettings(const LineSettings &s)
{
    return std::to_string(s.baud) + char(std::tolower(s.parity)) + std::to_string(s.dataBits) +
           std::to_string(s.stopBits);
}

// The named settings as groups: one for each place and standard rate, or each place and span
// of rates with no standard rate in it (none with `standardOnly`), with the formats that
// explain the replies there.
std::vector<NamedSetting> groups(const Explanation &e, bool portReported, bool standardOnly)
{
    std::vector<NamedSetting> out;
    auto add = [&](Place where, bool estimate, std::uint32_t low, std::uint32_t high,
                   std::uint32_t rate, const LineSettings &format) {
        for (NamedSetting &g : out) {
            if (g.where == where && g.estimate == estimate && g.low == low && g.high == high) {
                g.formats.push_back(format);
                return;
            }
        }
        out.push_back({where, estimate, rate, low, high, {format},
                       portReported && where == Place::ServerPort});
    };
    for (const Fit &f : e.fits) {
        for (const RateSpan &s : f.rates) {
            if (s.standard.empty() && !standardOnly)
                add(f.where, true, s.low, s.high, roundFigure(s.low, s.high), f.format);
            for (std::uint32_t r : s.standard)
                add(f.where, false, r, r, r, f.format);
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const NamedSetting &a, const NamedSetting &b) {
        return std::make_tuple(cost(a), rateCost(a), int(a.where), a.low) <
               std::make_tuple(cost(b), rateCost(b), int(b.where), b.low);
    });
    return out;
}

// Whether `g` is named beside the likeliest (of cost `best`) and those already `named`: at a
// place not yet named, a setting nearly as likely; at one named, another standard rate nearly as
// likely, or one estimate as likely.
bool nearlyAsLikely(const NamedSetting &g, int best, const std::vector<NamedSetting> &named)
{
    bool placeNamed = false, estimateNamed = false;
    for (const NamedSetting &n : named) {
        placeNamed = placeNamed || n.where == g.where;
        estimateNamed = estimateNamed || (n.where == g.where && n.estimate);
    }
    if (!placeNamed)
        return cost(g) <= best + 1;
    return g.estimate ? !estimateNamed && cost(g) <= best : cost(g) <= best + 1;
}
} // namespace

RecognisedMapping nameExplanation(const Explanation &e, const LineSettings &tester,
                                  bool portFollowsTester, bool standardOnly)
{
    RecognisedMapping m;
    m.tester = tester;
    const std::vector<NamedSetting> all = groups(e, portFollowsTester, standardOnly);
    const int best = all.empty() ? 0 : cost(all.front());
    for (const NamedSetting &g : all) {
        const bool likely = m.named.empty() || nearlyAsLikely(g, best, m.named);
        if (m.named.size() < kNamedAtMost && likely)
            m.named.push_back(g);
        else
            ++m.moreSettings;
    }
    return m;
}

std::string mappingText(const RecognisedMapping &m)
{
    if (!m.explained())
        return "the replies are a fixed mapping of the bytes sent, the same every cycle (" +
               percent(m.stable) +
               " of reply bytes repeat), that no speed or frame format explains";
    std::string out;
    for (std::size_t i = 0; i < m.named.size();) {
        // "at 57600 or 115200 baud": rates at one place with the same formats, said once
        const NamedSetting &n = m.named[i];
        std::vector<std::string> rates{std::to_string(n.rate)};
        std::size_t next = i + 1;
        while (!n.estimate && next < m.named.size() && !m.named[next].estimate &&
               m.named[next].where == n.where &&
               formatsInWords(m.named[next].formats) == formatsInWords(n.formats))
            rates.push_back(std::to_string(m.named[next++].rate));
        std::string at = placeAt(n, m.tester, i > 0 && m.named[i - 1].where == n.where);
        if (rates.size() > 1) {
            std::string all;
            for (std::size_t k = 0; k < rates.size(); ++k)
                all += (k == 0 ? "" : k + 1 == rates.size() ? " or " : ", ") + rates[k];
            at.replace(at.find(rates[0]), rates[0].size(), all);
        }
        out += (i ? ", or " : "") + at;
        i = next;
    }
    if (m.named.size() > 1)
        out += ": they give the same replies";   // two rates said as one are alike too
    if (m.portAgainstReport())
        out += ", although the device server reported it at the tester's " + m.tester.text();
    return out;
}

std::string mappingStep(const RecognisedMapping &m)
{
    if (!m.explained())
        return "check that the far device echoes each byte unchanged (its program, or a "
               "converter on the way) and the line's levels (TTL against RS-232 inverts every "
               "bit)";
    bool device = false, port = false;
    for (const NamedSetting &n : m.named)
        (n.where == Place::ServerPort ? port : device) = true;
    const std::string to = m.tester.text();
    const std::string ser2net =
        " (for ser2net: the connector's " + ser2netSettings(m.tester) + ")";
    const std::string check =
        m.portAgainstReport() ? ", and check that the port takes the settings it acknowledges" : "";
    if (device && port)
        return "set the far device and the device server's port both to " + to + ser2net + check;
    if (port)
        return "set the device server's port to " + to + ser2net + check;
    return "set the far device to " + to;
}
