#include "farend/plot/picture.h"

#include "farend/plot/svgtext.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plot {

std::string plural(long long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string duration(double s)
{
    if (s < 120)
        return num(s, s < 10 ? 2 : 1) + " s";
    if (s < 2 * 3600)
        return num(s / 60, 1) + " min";
    return num(s / 3600, 1) + " h";
}

std::string clock(double s)
{
    if (s < 60)
        return num(s, 2) + " s";
    const long long t = std::llround(s);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", t / 3600, t / 60 % 60, t % 60);
    return buf;
}

std::string msLabel(double ms)
{
    return ms >= 1000 ? num(ms / 1000, 3) + " s" : num(ms, 3) + " ms";
}

std::string joined(const std::vector<std::string> &parts, const char *separator)
{
    std::string s;
    for (const std::string &p : parts)
        s += (s.empty() ? "" : separator) + p;
    return s;
}

std::vector<bool> placeInRow(const std::vector<std::pair<double, double>> &spans)
{
    double rowEnd = -1e9;
    std::vector<bool> placed;
    for (const auto &[start, width] : spans) {
        placed.push_back(start >= rowEnd + 6);
        if (placed.back())
            rowEnd = start + width;
    }
    return placed;
}

std::string Picture::draw(PlotGeometry &g)
{
    endS = s.lengthS > 0 ? s.lengthS : 1;
    cols = makeColumns(s.intervals, 0, endS, o.maxColumns);
    scaleRoundTrip();

    double y = header();
    placeChangeMarks();
    g.verdictCodes.top = y + (numberedMarks ? 26 : 12);
    g.verdictCodes.bottom = g.verdictCodes.top + std::max<size_t>(1, s.codes.size()) * kCodeRow;
    g.roundTrip = {g.verdictCodes.bottom + 8, g.verdictCodes.bottom + 8 + kRoundTripHeight};
    g.lost.top = g.roundTrip.bottom + 30;
    g.lost.bottom = g.lost.top + kLaneHeight;
    g.changed = {g.lost.bottom + kLaneGap, g.lost.bottom + kLaneGap + kLaneHeight};
    g.extra = {g.changed.bottom + kLaneGap, g.changed.bottom + kLaneGap + kLaneHeight};
    g.left = kLeft;
    g.right = kRight;
    g.startS = 0;
    g.endS = endS;
    g.lowMs = lowMs;
    g.highMs = highMs;
    g.columns = static_cast<int>(cols.columns.size());
    g.verdictChanges = static_cast<int>(s.verdictChanges.size());
    geo = g;

    bands();
    roundTripPanel();
    lanes();
    const double axisBottom = timeAxis(g.extra.bottom);
    runStarts();
    const double listBottom = verdictStrip(axisBottom + 10);
    noEchoNote();
    legend();

    const double height = std::ceil(listBottom + kMargin);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(kWidth) + " " + num(height) +
           "\" font-family=\"sans-serif\" font-size=\"" + num(kFont) + "\">\n<title>" +
           xmlEscaped(titleText) + "</title>\n"
           "<defs><pattern id=\"idle\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
           "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#ffffff\"/>"
           "<rect width=\"3\" height=\"8\" fill=\"#c8c8c8\"/></pattern></defs>\n"
           "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n" + out + "</svg>\n";
}

double Picture::y(double ms) const
{
    const double v = std::clamp(ms, lowMs, highMs);
    return geo.roundTrip.top + (std::log10(highMs) - std::log10(v)) /
                                   (std::log10(highMs) - std::log10(lowMs)) * kRoundTripHeight;
}

void Picture::text(double x, double y, const std::string &t, const std::string &attributes)
{
    markup(x, y, xmlEscaped(t), attributes);
}

void Picture::markup(double x, double y, const std::string &content, const std::string &attributes)
{
    out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" +
           (attributes.empty() ? "" : " " + attributes) + ">" + content + "</text>\n";
}

void Picture::line(double x1, double y1, double x2, double y2, const std::string &attributes)
{
    out += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
           num(y2) + "\" " + attributes + "/>\n";
}

void Picture::rect(double x, double y, double w, double h, const std::string &attributes)
{
    out += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" +
           num(h) + "\" " + attributes + "/>\n";
}

void Picture::scaleRoundTrip()
{
    double lo = o.readWindowMs, hi = o.readWindowMs;
    for (const Column &c : cols.columns)
        for (const auto &v : {c.p50, c.p99, c.max})
            if (v && *v > 0) {
                lo = std::min(lo, *v);
                hi = std::max(hi, *v);
            }
    lowMs = std::pow(10.0, std::floor(std::log10(std::max(lo, 1e-3))));
    highMs = std::pow(10.0, std::ceil(std::log10(std::min(hi, 1e7) * 1.02)));
    while (highMs / lowMs < 99)
        highMs *= 10;
}

double Picture::header()
{
    const std::string target = s.target.empty() ? "an unnamed target" : s.target;
    titleText = "Relay run: " + (s.link.empty() ? std::string("COM3") : s.link) + " to " +
                target + (s.targetKind.empty() ? "" : " (" + s.targetKind + ")");
    text(kMargin, 30, fitted(titleText, kTitle, kWidth - 2 * kMargin),
         "font-size=\"" + num(kTitle) + "\" font-weight=\"bold\"");

    Totals t;
    std::vector<std::string> verdicts;
    if (complete()) {
        for (const Totals &e : s.ends) {
            t.runs += e.runs;
            t += e;
            verdicts.insert(verdicts.end(), e.codes.begin(), e.codes.end());
        }
    } else {
        for (const Interval &i : s.intervals)
            t += i;
    }
    t.runs = std::max(t.runs, static_cast<long long>(s.runs.size()));
    std::string totals = duration(endS) + ", " + plural(t.runs, "run", "runs") + ": " +
                         std::to_string(t.sends) + " sent, " + std::to_string(t.echoed) +
                         " echoed, " + std::to_string(t.lost) + " lost, " +
                         std::to_string(t.changed) + " changed, " + std::to_string(t.extra) +
                         " extra";
    if (complete())
        totals += "; verdicts: " + (verdicts.empty() ? "none" : joined(verdicts, ", "));
    text(kMargin, 52, fitted(totals, kFont, kWidth - 2 * kMargin));

    std::vector<std::string> notes;
    if (!complete())
        notes.push_back("no end record: the relay was stopped before it ended; totals are the "
                        "intervals'");
    if (s.relays > 1)
        notes.push_back(std::to_string(s.relays) + " relays one after another");
    if (cols.intervalsPerBin > 1)
        notes.push_back("a column holds up to " + std::to_string(cols.intervalsPerBin) +
                        " intervals: the median p50, the highest p99 and max, the counts summed");
    if (s.unreadLines)
        notes.push_back(plural(s.unreadLines, "line", "lines") + " of the stream not read");
    double y = 58;
    if (!notes.empty()) {
        y += 16;
        text(kMargin, y, fitted(joined(notes, "; "), kSmall, kWidth - 2 * kMargin),
             "font-size=\"" + num(kSmall) + "\" fill=\"" + kAxis + "\"");
    }
    legendTop = y + 8;
    return legendTop + 2 * 20 + 6;
}

void Picture::bands()
{
    const double top = geo.roundTrip.top, bottom = geo.extra.bottom;
    for (const auto &[state, fill] : {std::make_pair(&Column::com3Closed, std::string(kClosed)),
                                      std::make_pair(&Column::noTraffic, std::string("url(#idle)"))})
        stretches([state = state](const Column &c) { return c.*state; },
                  [&](const Column &first, const Column &last) {
                      const double x1 = x(first.fromS), x2 = x(last.toS);
                      rect(x1, top, std::max(1.0, x2 - x1), bottom - top,
                           "fill=\"" + fill + "\" shape-rendering=\"crispEdges\"");
                  });
}

bool Picture::adjacent(const Column &a, const Column &b)
{
    return b.fromS - a.toS <= 0.01 * std::max(1e-6, a.toS - a.fromS);
}

PlotResult plotRun(std::istream &stream, const PlotOptions &options)
{
    PlotResult r;
    const RunStream s = readRunStream(stream);
    r.unreadLines = s.unreadLines;
    if (s.records == 0 && s.looksLikeReport)
        r.error = {Errc::NotAStream,
                   "a report holds no intervals: plot the stream that --report-stream writes"};
    else if (s.records == 0)
        r.error = {Errc::NoRecords, "no record of a relay's stream in it (one JSON object a line, "
                                    "as --report-stream writes)"};
    else if (s.intervals.empty())
        r.error = {Errc::NoIntervals, "the stream holds no interval: nothing to draw over time "
                                      "(--interval 0, or the relay stopped within its first "
                                      "interval)"};
    else
        r.svg = Picture(s, options).draw(r.geometry);
    return r;
}

} // namespace plot
