#include "farend/plot/columns.h"

#include <algorithm>
#include <cmath>

namespace plot {

namespace {

class Bin {
public:
    void add(const Interval &i)
    {
        ++c.intervals;
        if (i.roundTrip) {
            if (i.roundTrip->p50)
                p50s.push_back(*i.roundTrip->p50);
            highest(c.p99, i.roundTrip->p99);
            highest(c.max, i.roundTrip->max);
        }
        c.lost += i.lost;
        c.changed += i.changed;
        c.extra += i.extra;
        c.codes |= i.codes;
        const bool closed = i.com3Open == false && i.traffic != true;   // at its end, and idle
        closedCount += closed;
        idleCount += !closed && i.traffic == false;
    }

    Column done(double fromS, double toS)
    {
        c.fromS = fromS;
        c.toS = toS;
        if (!p50s.empty()) {
            auto mid = p50s.begin() + p50s.size() / 2;
            std::nth_element(p50s.begin(), mid, p50s.end());
            c.p50 = *mid;
        }
        c.com3Closed = closedCount * 2 >= c.intervals;
        c.noTraffic = !c.com3Closed && (closedCount + idleCount) * 2 >= c.intervals;
        return c;
    }

    bool empty() const { return c.intervals == 0; }

private:
    static void highest(std::optional<double> &to, const std::optional<double> &v)
    {
        if (v && (!to || *v > *to))
            to = v;
    }

    Column c;
    std::vector<double> p50s;
    int closedCount = 0, idleCount = 0;
};

} // namespace

Columns makeColumns(const std::vector<Interval> &intervals, double startS, double endS,
                    int maxColumns)
{
    Columns out;
    maxColumns = std::max(1, maxColumns);
    if (static_cast<long long>(intervals.size()) <= maxColumns) {
        for (const Interval &i : intervals) {
            Bin b;
            b.add(i);
            out.columns.push_back(b.done(i.fromS, i.toS));
        }
        return out;
    }
    const double width = std::max(endS - startS, 1e-9) / maxColumns;
    std::vector<Bin> bins(maxColumns);
    for (const Interval &i : intervals) {
        const double mid = (i.fromS + i.toS) / 2;
        const long long k = static_cast<long long>(std::floor((mid - startS) / width));
        bins[std::clamp<long long>(k, 0, maxColumns - 1)].add(i);
    }
    for (int k = 0; k < maxColumns; ++k) {
        if (bins[k].empty())
            continue;
        out.columns.push_back(bins[k].done(startS + k * width, startS + (k + 1) * width));
        out.intervalsPerBin = std::max(out.intervalsPerBin, out.columns.back().intervals);
    }
    return out;
}

} // namespace plot
