#include "farend/plot/columns.h"
#include "farend/plot/plot.h"
#include "farend/plot/runstream.h"
#include "farend/plot/svgtext.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>

namespace plot {

namespace {

// Okabe-Ito colours, told apart by colour-blind readers; each series also has its own dash or lane.
constexpr const char *kP50 = "#0072B2", *kP99 = "#E69F00", *kMax = "#CC79A7";
constexpr const char *kLost = "#D55E00", *kChanged = "#009E73", *kExtra = "#56B4E9";
constexpr const char *kInk = "#000000", *kAxis = "#555555", *kGrid = "#e6e6e6";
constexpr const char *kClosed = "#d9d9d9";
constexpr const char *kP99Dash = "8 4", *kMaxDash = "2 3", *kReadDash = "10 3 2 3";

constexpr double kWidth = 1200, kLeft = 96, kRight = 1136, kMargin = 16;
constexpr double kFont = 13, kSmall = 12, kTitle = 18;
constexpr double kRoundTripHeight = 300, kLaneHeight = 44, kLaneGap = 8, kCodeRow = 15;
constexpr size_t kListedChanges = 12;
constexpr int kMarkedColumns = 150;   // up to this many columns, every value also gets a marker
constexpr double kGroupPx = 4;        // verdict changes and run starts closer than this share a marker

// Each round-trip series' marker, so that the series differ in more than colour.
enum class Shape { None, Circle, Square, Triangle };

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

// Seconds under a minute, else h:mm:ss.
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

// Left to right, whether each label keeps clear of the last one placed.
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

class Picture {
public:
    Picture(const RunStream &s, const PlotOptions &o) : s(s), o(o) {}

    std::string draw(PlotGeometry &g)
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

private:
    double x(double t) const { return kLeft + t / endS * (kRight - kLeft); }

    double y(double ms) const
    {
        const double v = std::clamp(ms, lowMs, highMs);
        return geo.roundTrip.top + (std::log10(highMs) - std::log10(v)) /
                                       (std::log10(highMs) - std::log10(lowMs)) * kRoundTripHeight;
    }

    void text(double x, double y, const std::string &t, const std::string &attributes = "")
    {
        markup(x, y, xmlEscaped(t), attributes);
    }

    void markup(double x, double y, const std::string &content, const std::string &attributes = "")
    {
        out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" +
               (attributes.empty() ? "" : " " + attributes) + ">" + content + "</text>\n";
    }

    void line(double x1, double y1, double x2, double y2, const std::string &attributes)
    {
        out += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
               num(y2) + "\" " + attributes + "/>\n";
    }

    void rect(double x, double y, double w, double h, const std::string &attributes)
    {
        out += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" +
               num(h) + "\" " + attributes + "/>\n";
    }

    // Decades around every value and the read window, two at least.
    void scaleRoundTrip()
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

    double header()
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

    // Grey where COM3 was not open, hatched where it was open and nothing was carried.
    void bands()
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

    // Calls `f` with the first and last column of each run of adjacent columns that `holds`.
    template <class Holds, class F>
    void stretches(Holds holds, F f) const
    {
        const std::vector<Column> &c = cols.columns;
        for (size_t i = 0; i < c.size();) {
            if (!holds(c[i])) {
                ++i;
                continue;
            }
            size_t j = i;
            while (j + 1 < c.size() && holds(c[j + 1]) && adjacent(c[j], c[j + 1]))
                ++j;
            f(c[i], c[j]);
            i = j + 1;
        }
    }

    static bool adjacent(const Column &a, const Column &b)
    {
        return b.fromS - a.toS <= 0.01 * std::max(1e-6, a.toS - a.fromS);
    }

    void roundTripPanel()
    {
        const PlotGeometry::Band &p = geo.roundTrip;
        const double yr = y(o.readWindowMs);
        for (double decade = lowMs; decade <= highMs * 1.001; decade *= 10) {
            for (int k : {2, 5})
                if (decade * k < highMs)
                    line(kLeft, y(decade * k), kRight, y(decade * k),
                         std::string("stroke=\"") + kGrid + "\" stroke-width=\"1\"");
            line(kLeft - 5, y(decade), kRight, y(decade), "stroke=\"#c4c4c4\" stroke-width=\"1\"");
            if (std::abs(y(decade) - yr) >= kSmall + 1)
                text(kLeft - 8, y(decade) + 4, msLabel(decade), "text-anchor=\"end\"");
        }
        text(22, (p.top + p.bottom) / 2, "round trip (log scale)",
             "text-anchor=\"middle\" transform=\"rotate(-90 22 " + num((p.top + p.bottom) / 2) + ")\"");

        line(kLeft - 5, yr, kRight, yr,
             std::string("stroke=\"") + kInk + "\" stroke-width=\"1.3\" stroke-dasharray=\"" +
                 kReadDash + "\"");
        if (dense()) {
            area(&Column::p99, &Column::max, kMax);
            area(&Column::p50, &Column::p99, kP99);
        } else {
            series(&Column::p99, kP99, kP99Dash, 2, Shape::Square);
            series(&Column::max, kMax, kMaxDash, 1.6, Shape::Triangle);
        }
        series(&Column::p50, kP50, nullptr, 2.5, Shape::Circle);
        text(kLeft - 8, yr + 4, msLabel(o.readWindowMs), "text-anchor=\"end\" font-weight=\"bold\"");
        rect(kLeft, p.top, kRight - kLeft, p.bottom - p.top, "fill=\"none\" stroke=\"#999999\"");
    }

    // Every relay in the stream reached its end record.
    bool complete() const { return !s.ends.empty() && static_cast<int>(s.ends.size()) >= s.relays; }

    // Too many columns for markers and lines that cross at every column: the tails as areas.
    bool dense() const { return cols.columns.size() > kMarkedColumns; }

    // Filled between two values' steps (the lower one missing: from the upper one).
    void area(std::optional<double> Column::*lower, std::optional<double> Column::*upper,
              const char *colour)
    {
        std::string d;
        stretches([&](const Column &c) { return bool(c.*upper); },
                  [&](const Column &first, const Column &last) {
                      d += "M" + num(x(first.fromS)) + " " + num(y(*(first.*upper)));
                      for (const Column *c = &first; c <= &last; ++c)
                          d += "V" + num(y(*(c->*upper))) + "H" + num(x(c->toS));
                      for (const Column *c = &last + 1; c-- != &first;)
                          d += "V" + num(y((c->*lower).value_or(*(c->*upper)))) + "H" + num(x(c->fromS));
                      d += "Z";
                  });
        out += "<path fill=\"" + std::string(colour) + "\" fill-opacity=\"0.6\" d=\"" + d + "\"/>\n";
    }

    // Over whatever else is there: a run with no round trip says why its panel is empty.
    void noEchoNote()
    {
        if (std::any_of(cols.columns.begin(), cols.columns.end(),
                        [](const Column &c) { return c.p50 || c.p99 || c.max; }))
            return;
        const std::string none = "no echo came back: no round trip to draw";
        const double w = textWidth(none, kFont) + 16;
        const double mid = (geo.roundTrip.top + geo.roundTrip.bottom) / 2 + 30;
        rect((kLeft + kRight - w) / 2, mid - 16, w, 24, "fill=\"#ffffff\" stroke=\"#999999\"");
        text((kLeft + kRight) / 2, mid, none, "text-anchor=\"middle\"");
    }

    // A step a column wide at each value; a column without one breaks the line.
    void series(std::optional<double> Column::*value, const char *colour, const char *dash,
                double width, Shape shape)
    {
        std::string d;
        const Column *previous = nullptr;
        for (const Column &c : cols.columns) {
            if (!(c.*value)) {
                previous = nullptr;
                continue;
            }
            const double yv = y(*(c.*value));
            if (previous && adjacent(*previous, c))
                d += "V" + num(yv);
            else
                d += "M" + num(x(c.fromS)) + " " + num(yv);
            d += "H" + num(x(c.toS));
            previous = &c;
        }
        out += "<path fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"" +
               num(width) + "\"" + (dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") +
               " d=\"" + d + "\"/>\n";
        if (dense())
            return;
        out += "<g fill=\"" + std::string(colour) + "\">";
        for (const Column &c : cols.columns)
            if (c.*value)
                out += marker(shape, (x(c.fromS) + x(c.toS)) / 2, y(*(c.*value)));
        out += "</g>\n";
    }

    static std::string marker(Shape shape, double cx, double cy)
    {
        if (shape == Shape::Circle)
            return "<circle cx=\"" + num(cx) + "\" cy=\"" + num(cy) + "\" r=\"3.5\"/>";
        if (shape == Shape::Square)
            return "<rect x=\"" + num(cx - 3.5) + "\" y=\"" + num(cy - 3.5) +
                   "\" width=\"7\" height=\"7\"/>";
        return "<path d=\"M" + num(cx) + " " + num(cy - 4.5) + "L" + num(cx + 4.5) + " " +
               num(cy + 3.5) + "H" + num(cx - 4.5) + "Z\"/>";
    }

    // One lane a kind of fault, bars on a log scale so that a single loss shows beside thousands.
    void lanes()
    {
        long long most = 1;
        for (const Column &c : cols.columns)
            most = std::max({most, c.lost, c.changed, c.extra});
        const int decades = std::max(1, static_cast<int>(std::ceil(std::log10(static_cast<double>(most)))));
        const double perDecade = kLaneHeight / (decades + 1);
        text(kLeft + 6, geo.lost.top - 8,
             std::string("replies per ") + (cols.intervalsPerBin > 1 ? "column" : "interval") +
                 " (log scale)",
             "font-size=\"" + num(kSmall) + "\" fill=\"" + kAxis + "\"");
        const struct {
            long long Column::*count;
            const char *name, *colour;
            PlotGeometry::Band band;
        } kinds[] = {{&Column::lost, "lost", kLost, geo.lost},
                     {&Column::changed, "changed", kChanged, geo.changed},
                     {&Column::extra, "extra", kExtra, geo.extra}};
        for (const auto &k : kinds) {
            for (int d = 0; d <= decades; ++d) {
                const double yd = k.band.bottom - (d + 1) * perDecade;
                line(kLeft, yd, kRight, yd, std::string("stroke=\"") + kGrid + "\"");
                if (d == 0 || d == decades)
                    text(kRight + 6, d == 0 ? yd + 4 : yd + 10,
                         d < 5 ? num(std::pow(10.0, d), 0) : "1e" + std::to_string(d),
                         "font-size=\"" + num(kSmall) + "\" fill=\"" + kAxis + "\"");
            }
            if (std::none_of(cols.columns.begin(), cols.columns.end(),
                             [&](const Column &c) { return c.*k.count > 0; }))
                text(kLeft + 8, (k.band.top + k.band.bottom) / 2 + 4, "none",
                     "font-size=\"" + num(kSmall) + "\" fill=\"" + kAxis + "\"");
            text(kLeft - 8, (k.band.top + k.band.bottom) / 2 + 4, k.name,
                 "text-anchor=\"end\" font-weight=\"bold\" fill=\"" + std::string(kAxis) + "\"");
            out += "<g fill=\"" + std::string(k.colour) + "\" shape-rendering=\"crispEdges\">";
            for (const Column &c : cols.columns) {
                const long long n = c.*k.count;
                if (n <= 0)
                    continue;
                const double h = (1 + std::log10(static_cast<double>(n))) * perDecade;
                const double x1 = x(c.fromS), w = x(c.toS) - x1;
                out += "<rect x=\"" + num(x1 + (w > 4 ? 1 : 0)) + "\" y=\"" + num(k.band.bottom - h) +
                       "\" width=\"" + num(std::max(1.0, w > 4 ? w - 2 : w)) + "\" height=\"" +
                       num(h) + "\"/>";
            }
            out += "</g>\n";
            rect(kLeft, k.band.top, kRight - kLeft, k.band.bottom - k.band.top,
                 "fill=\"none\" stroke=\"#999999\"");
        }
    }

    // Ticks every 1, 2 or 5 of a unit that suits the run's length, about ten of them.
    double timeAxis(double bottom)
    {
        static const double steps[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900,
                                       1800, 3600, 7200, 10800, 21600, 43200, 86400};
        double step = 86400;
        for (double candidate : steps)
            if (endS / candidate <= 12) {
                step = candidate;
                break;
            }
        while (endS / step > 12)
            step *= 2;
        for (double t = 0; t <= endS * 1.0001; t += step) {
            line(x(t), geo.roundTrip.bottom, x(t), geo.roundTrip.bottom + 5, "stroke=\"#999999\"");
            line(x(t), bottom, x(t), bottom + 5, "stroke=\"#999999\"");
            const std::string label = step < 60 ? num(t, 1) + " s"
                                      : step < 3600 ? num(t / 60, 1) + " min"
                                                    : num(t / 3600, 1) + " h";
            text(x(t), bottom + 19, label, "text-anchor=\"middle\"");
        }
        text((kLeft + kRight) / 2, bottom + 38, "time since the relay started",
             "text-anchor=\"middle\" fill=\"" + std::string(kAxis) + "\"");
        return bottom + 38;
    }

    // Marks close together share one; `group` gets the first index of each.
    std::vector<size_t> grouped(const std::vector<double> &times) const
    {
        std::vector<size_t> firsts;
        double lastX = -1e9;
        for (size_t i = 0; i < times.size(); ++i)
            if (x(times[i]) - lastX >= kGroupPx) {
                firsts.push_back(i);
                lastX = x(times[i]);
            }
        return firsts;
    }

    void runStarts()
    {
        std::vector<double> times;
        for (const RunMark &r : s.runs)
            times.push_back(r.atS);
        const std::vector<size_t> firsts = grouped(times);
        std::vector<std::pair<double, double>> spans;
        std::vector<std::string> labels;
        for (size_t i : firsts) {
            const RunMark &r = s.runs[i];
            labels.push_back((r.run ? "run " + std::to_string(r.run) : std::string("run")) +
                             (r.settings.empty() ? "" : " at " + r.settings));
            spans.push_back({x(r.atS) + 3, textWidth(labels.back(), kSmall)});
        }
        const std::vector<bool> placed = placeInRow(spans);
        for (size_t n = 0; n < firsts.size(); ++n) {
            const double xr = x(s.runs[firsts[n]].atS);
            line(xr, geo.roundTrip.top, xr, geo.extra.bottom,
                 std::string("stroke=\"") + kAxis + "\" stroke-width=\"2\"");
            if (placed[n])
                text(spans[n].first, geo.roundTrip.bottom - 6, labels[n],
                     "font-size=\"" + num(kSmall) + "\" fill=\"" + kAxis + "\"");
        }
    }

    // A marker where the verdicts change, numbered when few enough to list them all.
    void placeChangeMarks()
    {
        std::vector<double> times;
        for (const VerdictChange &c : s.verdictChanges)
            times.push_back(c.atS);
        marks = grouped(times);
        numberedMarks = s.verdictChanges.size() <= kListedChanges;
        if (!numberedMarks)
            return;
        std::vector<std::pair<double, double>> spans;
        for (size_t i : marks) {
            const std::string label = std::to_string(i + 1);
            spans.push_back({x(s.verdictChanges[i].atS) - textWidth(label, kSmall) / 2,
                             textWidth(label, kSmall)});
        }
        const std::vector<bool> placed = placeInRow(spans);
        numberedMarks = std::count(placed.begin(), placed.end(), false) == 0;
    }

    // The markers, a row a verdict code with a bar where it held, and the changes listed below
    // the chart with their times and the gravest verdict's words.
    double verdictStrip(double listTop)
    {
        const double tip = geo.verdictCodes.top - 2;
        text(kLeft - 8, tip - 1, "changes", "text-anchor=\"end\" font-size=\"" + num(kSmall) +
                                               "\" fill=\"" + std::string(kAxis) + "\"");
        for (size_t n = 0; n < marks.size(); ++n) {
            const double xv = x(s.verdictChanges[marks[n]].atS);
            out += "<path d=\"M" + num(xv - 5) + " " + num(tip - 8) + "H" + num(xv + 5) + "L" +
                   num(xv) + " " + num(tip) + "Z\" fill=\"" + kInk + "\"/>\n";
            if (marks.size() <= kListedChanges)
                line(xv, tip, xv, geo.extra.bottom,
                     "stroke=\"#000000\" stroke-opacity=\"0.35\" stroke-dasharray=\"1 3\"");
            if (numberedMarks)
                text(xv, tip - 11, std::to_string(marks[n] + 1),
                     "text-anchor=\"middle\" font-size=\"" + num(kSmall) + "\"");
        }
        const PlotGeometry::Band &b = geo.verdictCodes;
        if (s.codes.empty())
            text(kLeft + 8, b.bottom - 3, "no verdicts in the intervals",
                 "font-size=\"" + num(kSmall) + "\" fill=\"" + kAxis + "\"");
        for (size_t k = 0; k < s.codes.size(); ++k) {
            const double top = b.top + k * kCodeRow;
            line(kLeft, top + kCodeRow, kRight, top + kCodeRow, std::string("stroke=\"") + kGrid + "\"");
            text(kLeft - 8, top + kCodeRow - 3, s.codes[k],
                 "text-anchor=\"end\" font-size=\"" + num(kSmall) + "\"");
            out += "<g fill=\"#4d4d4d\" shape-rendering=\"crispEdges\">";
            const unsigned bit = 1u << k;
            stretches([bit](const Column &c) { return (c.codes & bit) != 0; },
                      [&](const Column &first, const Column &last) {
                          const double x1 = x(first.fromS), x2 = x(last.toS);
                          out += "<rect x=\"" + num(x1) + "\" y=\"" + num(top + 3) + "\" width=\"" +
                                 num(std::max(1.0, x2 - x1)) + "\" height=\"" + num(kCodeRow - 5) +
                                 "\"/>";
                      });
            out += "</g>\n";
        }
        double y = listTop;
        // Wrapped, the bold part of the first line in bold.
        auto paragraph = [&](const std::string &lead, const std::string &bold, const std::string &t) {
            const std::string head = lead + bold;
            const std::vector<std::string> lines =
                wrapped(head + (t.empty() ? "" : "  " + t), kFont, kWidth - 2 * kMargin - 24, 3);
            for (size_t l = 0; l < lines.size(); ++l) {
                y += 17;
                if (l == 0 && !bold.empty() && lines[0].compare(0, head.size(), head) == 0)
                    markup(kMargin, y, xmlEscaped(lead) + "<tspan dx=\"4\" font-weight=\"bold\">" +
                                           xmlEscaped(bold) + "</tspan><tspan dx=\"4\">" +
                                           xmlEscaped(lines[0].substr(head.size())) + "</tspan>");
                else
                    text(kMargin + (l ? 24 : 0), y, lines[l]);
            }
        };
        if (complete() && std::any_of(s.ends.begin(), s.ends.end(),
                                      [](const Totals &t) { return !t.texts.empty(); })) {
            y += 18;
            text(kMargin, y, "The run's verdicts", "font-weight=\"bold\"");
            for (const Totals &t : s.ends)
                for (const std::string &v : t.texts)
                    paragraph("", "", v);
            y += 8;
        }
        if (s.verdictChanges.empty())
            return y;

        y += 18;
        const size_t listed = std::min<size_t>(s.verdictChanges.size(), kListedChanges);
        text(kMargin, y,
             "Verdicts where they change" +
                 (listed < s.verdictChanges.size()
                      ? " (the first " + std::to_string(listed) + " of " +
                            std::to_string(s.verdictChanges.size()) + "; the stream holds them all)"
                      : std::string()),
             "font-weight=\"bold\"");
        for (size_t i = 0; i < listed; ++i) {
            const VerdictChange &c = s.verdictChanges[i];
            paragraph((numberedMarks ? std::to_string(i + 1) + ". " : "") + "at " + clock(c.atS) + " ",
                      codes(c), c.text);
        }
        return y;
    }

    static std::string codes(const VerdictChange &c)
    {
        return c.codes.empty() ? "no verdict" : joined(c.codes, ", ");
    }

    void legend()
    {
        auto stroke = [](const char *colour, const char *dash, double width, Shape shape) {
            return [=](double x0, double y0) {
                std::string s = "<line x1=\"" + num(x0) + "\" y1=\"" + num(y0) + "\" x2=\"" +
                                num(x0 + 30) + "\" y2=\"" + num(y0) + "\" stroke=\"" + colour +
                                "\" stroke-width=\"" + num(width) + "\"" +
                                (dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") + "/>";
                if (shape != Shape::None)
                    s += "<g fill=\"" + std::string(colour) + "\">" + marker(shape, x0 + 15, y0) + "</g>";
                return s;
            };
        };
        auto swatch = [](const std::string &fill, const char *opacity = "1") {
            return [=](double x0, double y0) {
                return "<rect x=\"" + num(x0 + 4) + "\" y=\"" + num(y0 - 6) +
                       "\" width=\"22\" height=\"12\" fill=\"" + fill + "\" fill-opacity=\"" +
                       opacity + "\" stroke=\"#999999\"/>";
            };
        };
        using Item = std::pair<std::string, std::function<std::string(double, double)>>;
        const bool marked = !dense();
        const std::vector<Item> tails =
            marked ? std::vector<Item>{{"p99", stroke(kP99, kP99Dash, 2, Shape::Square)},
                                       {"max", stroke(kMax, kMaxDash, 1.6, Shape::Triangle)}}
                   : std::vector<Item>{{"p50 to p99", swatch(kP99, "0.6")},
                                       {"p99 to max", swatch(kMax, "0.6")}};
        const std::vector<Item> rows[] = {
            {{"round trip p50", stroke(kP50, nullptr, 2.5, marked ? Shape::Circle : Shape::None)},
             tails[0], tails[1],
             {"tester's " + msLabel(o.readWindowMs) + " read: later echoes miss it",
              stroke(kInk, kReadDash, 1.3, Shape::None)}},
            {{"lost", swatch(kLost)},
             {"changed", swatch(kChanged)},
             {"extra", swatch(kExtra)},
             {"COM3 not open", swatch(kClosed)},
             {"no traffic", swatch("url(#idle)")},
             {"run start", stroke(kAxis, nullptr, 2, Shape::None)},
             {"verdict change",
              [](double x0, double y0) {
                  return "<path d=\"M" + num(x0 + 10) + " " + num(y0 - 5) + "H" + num(x0 + 20) + "L" +
                         num(x0 + 15) + " " + num(y0 + 3) + "Z\" fill=\"#000000\"/>";
              }}}};
        double y0 = legendTop + 12;
        for (const auto &row : rows) {
            double x0 = kMargin;
            for (const auto &[label, sample] : row) {
                out += sample(x0, y0 - 4) + "\n";
                text(x0 + 36, y0, label);
                x0 += 36 + textWidth(label, kFont) + 22;
            }
            y0 += 20;
        }
    }

    const RunStream &s;
    const PlotOptions &o;
    PlotGeometry geo;
    Columns cols;
    std::vector<size_t> marks;   // the first change of each marker
    bool numberedMarks = false;
    double endS = 1, lowMs = 1, highMs = 100, legendTop = 0;
    std::string titleText, out;
};

} // namespace

PlotResult plotRun(std::istream &stream, const PlotOptions &options)
{
    PlotResult r;
    const RunStream s = readRunStream(stream);
    r.unreadLines = s.unreadLines;
    if (s.records == 0)
        r.error = s.looksLikeReport
                      ? "a report holds no intervals: plot the stream that --report-stream writes"
                      : "no record of a relay's stream in it (one JSON object a line, as "
                        "--report-stream writes)";
    else if (s.intervals.empty())
        r.error = "the stream holds no interval: nothing to draw over time (--interval 0, or the "
                  "relay stopped within its first interval)";
    else
        r.svg = Picture(s, options).draw(r.geometry);
    return r;
}

} // namespace plot
