// The round trip's panel, the lanes of lost, changed and extra replies, and the time axis.
#include "farend/plot/picture.h"

#include "farend/plot/svgtext.h"

#include <algorithm>
#include <cmath>

namespace plot {

void Picture::roundTripPanel()
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

void Picture::area(std::optional<double> Column::*lower, std::optional<double> Column::*upper,
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

void Picture::noEchoNote()
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

void Picture::series(std::optional<double> Column::*value, const char *colour, const char *dash,
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

std::string Picture::marker(Shape shape, double cx, double cy)
{
    if (shape == Shape::Circle)
        return "<circle cx=\"" + num(cx) + "\" cy=\"" + num(cy) + "\" r=\"3.5\"/>";
    if (shape == Shape::Square)
        return "<rect x=\"" + num(cx - 3.5) + "\" y=\"" + num(cy - 3.5) +
               "\" width=\"7\" height=\"7\"/>";
    return "<path d=\"M" + num(cx) + " " + num(cy - 4.5) + "L" + num(cx + 4.5) + " " +
           num(cy + 3.5) + "H" + num(cx - 4.5) + "Z\"/>";
}

void Picture::lanes()
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

double Picture::timeAxis(double bottom)
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

} // namespace plot
