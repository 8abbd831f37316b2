#include "farend/diagnosis/replycycle.h"

#include "testcycle/testcycle.h"

#include <algorithm>
#include <cmath>

namespace {
using Bytes = std::vector<unsigned char>;

// Reply bytes equal to the one `lag` on.
std::size_t repeatsAt(const Bytes &r, std::size_t lag)
{
    std::size_t n = 0;
    for (std::size_t j = 0; j + lag < r.size(); ++j)
        n += r[j] == r[j + lag];
    return n;
}

// Each reply's partner one cycle on (-1: none), from the least-cost alignment of the stream
// with itself `q` replies later, within two replies either way: a reply lost or added now and
// then shifts the partners after it by one instead of breaking them.
std::vector<long> partners(const Bytes &r, std::size_t q)
{
    constexpr long kBand = 2, kWidth = 2 * kBand + 1;
    const long m = long(r.size() - q);   // both sides: r[0, m) against r[q, q + m)
    const long far = long(r.size());
    std::vector<long> cost((m + 1) * kWidth, far);
    std::vector<unsigned char> step((m + 1) * kWidth, 0);   // 0 both, 1 this side, 2 the other
    auto at = [&](long i, long d) -> long & { return cost[i * kWidth + d + kBand]; };
    for (long i = 0; i <= m; ++i) {
        for (long d = -kBand; d <= kBand; ++d) {
            const long j = i + d;
            if (j < 0 || j > m)
                continue;
            long best = i == 0 && j == 0 ? 0 : far;
            unsigned char how = 0;
            if (i > 0 && j > 0) {
                best = at(i - 1, d) + (r[i - 1] != r[q + j - 1]);
            }
            if (i > 0 && d + 1 <= kBand && at(i - 1, d + 1) + 1 < best) {
                best = at(i - 1, d + 1) + 1;
                how = 1;
            }
            if (j > 0 && d - 1 >= -kBand && at(i, d - 1) + 1 < best) {
                best = at(i, d - 1) + 1;
                how = 2;
            }
            at(i, d) = best;
            step[i * kWidth + d + kBand] = how;
        }
    }
    std::vector<long> partner(r.size(), -1);
    for (long i = m, j = m; i > 0 || j > 0;) {
        const long d = j - i;
        const unsigned char how = step[i * kWidth + d + kBand];
        if (how == 0 && i > 0 && j > 0) {
            partner[i - 1] = long(q) + j - 1;
            --i;
            --j;
        } else if (how == 1 || j == 0) {
            --i;
        } else {
            --j;
        }
    }
    return partner;
}

// One cycle of `q` replies: a stretch whose partners all lie one cycle on with no reply lost or
// added in between, the one most like its next cycle, each byte voted with its partners up to
// two cycles either way.
std::string vote(const Bytes &r, std::size_t q, const std::vector<long> &next)
{
    std::vector<long> before(r.size(), -1);
    for (std::size_t p = 0; p < r.size(); ++p)
        if (next[p] >= 0)
            before[next[p]] = long(p);
    // per position: breaks the stretch (no partner, or not where the one before has it), alike
    std::vector<std::size_t> breaks(r.size() + 1, 0), alike(r.size() + 1, 0);
    for (std::size_t p = 0; p < r.size(); ++p) {
        const bool broken =
            next[p] < 0 || (p > 0 && next[p - 1] >= 0 && next[p] != next[p - 1] + 1);
        breaks[p + 1] = breaks[p] + broken;
        alike[p + 1] = alike[p] + (next[p] >= 0 && r[p] == r[next[p]]);
    }
    std::size_t start = 0, best = 0;
    bool found = false;
    for (std::size_t s = 0; s + q <= r.size(); ++s) {
        // the first position may follow a break; the rest may not
        if (breaks[s + q] - breaks[s + 1] != 0 || next[s] < 0)
            continue;
        const std::size_t score = alike[s + q] - alike[s];
        if (!found || score > best) {
            found = true;
            best = score;
            start = s;
        }
    }
    std::string image(q, '\0');
    for (std::size_t k = 0; k < q; ++k) {
        const long p = long(start + k);
        std::vector<unsigned char> votes{r[p]};
        for (long n = next[p], hops = 0; n >= 0 && hops < 2; n = next[n], ++hops)
            votes.push_back(r[n]);
        for (long b = before[p], hops = 0; b >= 0 && hops < 2; b = before[b], ++hops)
            votes.push_back(r[b]);
        unsigned char pick = r[p];
        std::size_t most = 0;
        for (unsigned char v : votes) {
            const std::size_t n = std::size_t(std::count(votes.begin(), votes.end(), v));
            if (n > most || (n == most && v == r[p])) {
                most = n;
                pick = v;
            }
        }
        image[k] = static_cast<char>(pick);
    }
    return image;
}

std::size_t commonOffset(const Bytes &r, std::size_t q)
{
    const std::vector<long> next = partners(r, q);
    long counts[5] = {};
    for (std::size_t p = 0; p < r.size(); ++p) {
        const long d = next[p] - long(p) - long(q);
        if (next[p] >= 0 && r[p] == r[next[p]] && d >= -2 && d <= 2)
            ++counts[d + 2];
    }
    const long *most = std::max_element(counts, counts + 5);   // the first: q itself on a tie
    const long best = long(q) + (most - counts) - 2;
    return *most > counts[2] && best > 0 && r.size() >= 2 * std::size_t(best) + 1
               ? std::size_t(best)
               : q;
}

bool isTheCycle(const std::string &image)
{
    if (image.size() != std::size_t(testcycle::kLength))
        return false;
    const std::string twice = std::string(testcycle::kChars) + testcycle::kChars;
    return twice.find(image) != std::string::npos;
}

// For each reply, whether it is an echo: the cycle's next byte, a few lost before it allowed.
std::vector<bool> echoesOf(const Bytes &r)
{
    const std::string cycle = testcycle::kChars;
    std::vector<bool> echo(r.size(), false);
    long expect = -1;   // where in the cycle the next echo stands; -1 before the first
    for (std::size_t i = 0; i < r.size(); ++i) {
        const std::size_t at = cycle.find(static_cast<char>(r[i]));
        if (at == std::string::npos)
            continue;
        const long ahead = (long(at) - expect + testcycle::kLength) % testcycle::kLength;
        echo[i] = expect >= 0 && ahead <= 3;
        expect = (long(at) + 1) % testcycle::kLength;
    }
    return echo;
}
} // namespace

double echoShare(const Bytes &r)
{
    const std::vector<bool> echo = echoesOf(r);
    const auto echoes = std::count(echo.begin(), echo.end(), true);
    return r.empty() ? 0.0 : double(echoes) / double(r.size());
}

bool changedAtTheEnd(const Bytes &r)
{
    if (r.size() < 3)
        return false;
    const std::vector<bool> echo = echoesOf(r);
    // the first reply is judged against nothing: left out
    const auto first = std::find(echo.begin() + 1, echo.end(), false);
    const auto others = std::count(first, echo.end(), false);
    const double span = double(echo.end() - first) / double(r.size() - 1);
    // all of them within the last `span` of the replies: chance puts them there span^others;
    // a lone one among the newest two is as much the first of a change as noise: not read yet
    return (others >= 2 && std::pow(span, double(others)) < 0.01) ||
           (others == 1 && echo.end() - first <= 2);
}

ReplyCycle readReplyCycle(const std::vector<unsigned char> &r, std::size_t sends)
{
    ReplyCycle c;
    c.sends = sends;
    c.replies = r.size();
    const std::size_t cycle = testcycle::kLength;
    if (sends < 2 * cycle || r.empty())
        return c;
    c.perCycle = double(r.size()) * cycle / double(sends);
    // echoes with some lost or changed at random: clean, whatever their count does to the lag
    const double echoes = echoShare(r);
    if (echoes >= kRepeats) {
        c.kind = ReplyCycle::Kind::Clean;
        c.stable = echoes;
        c.image = testcycle::kChars;
        return c;
    }
    // replies a cycle, as the window gives them; the best lag near that is the cycle's
    const long guess = std::lround(c.perCycle);
    std::size_t q = 0, most = 0;
    // nearest the guess first: a stream that repeats at several lags (all one byte) takes it
    for (long step : {0L, -1L, 1L, -2L, 2L, -3L, 3L}) {
        const long lag = guess + step;
        if (lag < 1 || r.size() < 2 * std::size_t(lag) + 1)
            continue;
        const std::size_t n = repeatsAt(r, std::size_t(lag));
        // per comparison, so that a longer lag is not the worse for having fewer
        if (q == 0 || n * (r.size() - q) > most * (r.size() - lag)) {
            q = std::size_t(lag);
            most = n;
        }
    }
    if (q == 0)
        return c;
    // replies lost or added now and then pull the count a cycle below or above the cycle's own:
    // the offset at which most replies meet their equal is the cycle
    q = commonOffset(r, q);
    const std::vector<long> next = partners(r, q);
    std::size_t equal = 0;
    for (std::size_t p = 0; p + q < r.size(); ++p)
        equal += next[p] >= 0 && r[p] == r[next[p]];
    c.stable = double(equal) / double(r.size() - q);
    c.image = vote(r, q, next);
    c.kind = c.stable < kRepeats     ? ReplyCycle::Kind::NotSystematic
             : isTheCycle(c.image) ? ReplyCycle::Kind::Clean
                                   : ReplyCycle::Kind::Systematic;
    return c;
}

std::string canonicalCycle(const std::string &image)
{
    std::string best = image;
    for (std::size_t k = 1; k < image.size(); ++k) {
        const std::string turned = image.substr(k) + image.substr(0, k);
        if (turned < best)
            best = turned;
    }
    return best;
}

std::size_t cycleDistance(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return std::max(a.size(), b.size());
    std::size_t least = a.size();
    for (std::size_t k = 0; k < b.size() && least > 0; ++k) {
        std::size_t d = 0;
        for (std::size_t i = 0; i < a.size() && d < least; ++i)
            d += a[i] != b[(i + k) % b.size()];
        least = std::min(least, d);
    }
    return least;
}
