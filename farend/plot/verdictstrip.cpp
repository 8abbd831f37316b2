// What happened when: run starts, the verdicts where they change, their list, the legend.
#include "farend/plot/picture.h"

#include "farend/plot/svgtext.h"

#include <algorithm>
#include <functional>

namespace plot {

std::vector<size_t> Picture::grouped(const std::vector<double> &times) const
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

void Picture::runStarts()
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

void Picture::placeChangeMarks()
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

double Picture::verdictStrip(double listTop)
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

std::string Picture::codes(const VerdictChange &c)
{
    return c.codes.empty() ? "no verdict" : joined(c.codes, ", ");
}

void Picture::legend()
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

} // namespace plot
