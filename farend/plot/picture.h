// The picture of a run as it is drawn, for the files that draw its parts: the palette and the
// sizes, the words and numbers of its labels, and the picture itself, one method a part.
#pragma once

#include "farend/plot/columns.h"
#include "farend/plot/plot.h"
#include "farend/plot/runstream.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plot {

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

// "3 runs", "1 run".
std::string plural(long long n, const char *one, const char *many);
// A run's length in the unit that suits it: seconds, minutes or hours.
std::string duration(double s);
// Seconds under a minute, else h:mm:ss.
std::string clock(double s);
// "5 ms", "1.5 s".
std::string msLabel(double ms);
std::string joined(const std::vector<std::string> &parts, const char *separator);
// Left to right, whether each label keeps clear of the last one placed.
std::vector<bool> placeInRow(const std::vector<std::pair<double, double>> &spans);

class Picture {
public:
    Picture(const RunStream &s, const PlotOptions &o) : s(s), o(o) {}

    std::string draw(PlotGeometry &g);

private:
    double x(double t) const { return kLeft + t / endS * (kRight - kLeft); }

    double y(double ms) const;

    void text(double x, double y, const std::string &t, const std::string &attributes = "");

    void markup(double x, double y, const std::string &content, const std::string &attributes = "");

    void line(double x1, double y1, double x2, double y2, const std::string &attributes);

    void rect(double x, double y, double w, double h, const std::string &attributes);

    // Decades around every value and the read window, two at least.
    void scaleRoundTrip();

    double header();

    // Grey where COM3 was not open, hatched where it was open and nothing was carried.
    void bands();

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

    static bool adjacent(const Column &a, const Column &b);

    void roundTripPanel();

    // Every relay in the stream reached its end record.
    bool complete() const { return !s.ends.empty() && static_cast<int>(s.ends.size()) >= s.relays; }

    // Too many columns for markers and lines that cross at every column: the tails as areas.
    bool dense() const { return cols.columns.size() > kMarkedColumns; }

    // Filled between two values' steps (the lower one missing: from the upper one).
    void area(std::optional<double> Column::*lower, std::optional<double> Column::*upper,
              const char *colour);

    // Over whatever else is there: a run with no round trip says why its panel is empty.
    void noEchoNote();

    // A step a column wide at each value; a column without one breaks the line.
    void series(std::optional<double> Column::*value, const char *colour, const char *dash,
                double width, Shape shape);

    static std::string marker(Shape shape, double cx, double cy);

    // One lane a kind of fault, bars on a log scale so that a single loss shows beside thousands.
    void lanes();

    // Ticks every 1, 2 or 5 of a unit that suits the run's length, about ten of them.
    double timeAxis(double bottom);

    // Marks close together share one; `group` gets the first index of each.
    std::vector<size_t> grouped(const std::vector<double> &times) const;

    void runStarts();

    // A marker where the verdicts change, numbered when few enough to list them all.
    void placeChangeMarks();

    // The markers, a row a verdict code with a bar where it held, and the changes listed below
    // the chart with their times and the gravest verdict's words.
    double verdictStrip(double listTop);

    static std::string codes(const VerdictChange &c);

    void legend();

    const RunStream &s;
    const PlotOptions &o;
    PlotGeometry geo;
    Columns cols;
    std::vector<size_t> marks;   // the first change of each marker
    bool numberedMarks = false;
    double endS = 1, lowMs = 1, highMs = 100, legendTop = 0;
    std::string titleText, out;
};

} // namespace plot
