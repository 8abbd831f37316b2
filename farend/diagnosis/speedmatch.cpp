#include "farend/diagnosis/speedmatch.h"

#include "farend/line/uart.h"

#include <algorithm>

namespace {
// A candidate must explain this share of the replies and of its own prediction (Dice overlap of
// the two sequences): random bytes share about one in eight with any prediction.
constexpr double kExplains = 0.75;
constexpr std::size_t kRepliesPerByte = 4;

using Bytes = std::vector<unsigned char>;

struct Stamp {
    unsigned char byte;
    double atMs;
};

// What `receiver` takes in of `bytes` sent by `sender` at their times.
std::vector<Stamp> across(const std::vector<Stamp> &bytes, const LineSettings &sender,
                          const LineSettings &receiver)
{
    UartLine line(sender, receiver);
    std::vector<UartLine::Received> got;
    for (const Stamp &s : bytes) {
        line.receive(s.atMs, got);   // keeps the frames in flight few
        line.send(s.byte, s.atMs);
    }
    line.receiveAll(got);
    std::vector<Stamp> out;
    out.reserve(got.size());
    for (const auto &r : got)
        out.push_back({r.byte, r.atMs});
    return out;
}

Bytes bytesOf(const std::vector<Stamp> &s)
{
    Bytes out;
    out.reserve(s.size());
    for (const Stamp &x : s)
        out.push_back(x.byte);
    return out;
}

// Longest common subsequence: replies in order, some lost, some extra.
std::size_t common(const Bytes &a, const Bytes &b)
{
    std::vector<std::size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
    for (unsigned char x : a) {
        for (std::size_t j = 0; j < b.size(); ++j)
            next[j + 1] = x == b[j] ? row[j] + 1 : std::max(next[j], row[j + 1]);
        std::swap(row, next);
    }
    return row[b.size()];
}

} // namespace

bool mostRepliesChanged(long long changed, long long replies)
{
    return 2 * changed > replies;
}

namespace {
std::string phrase(SpeedMatch::Where where, const LineSettings &other, const LineSettings &tester)
{
    const std::string rate = std::to_string(other.baud) + " baud " + other.format();
    switch (where) {
    case SpeedMatch::Where::FarEnd:
        return "a far end at " + rate + " makes of the tester's " + tester.text();
    case SpeedMatch::Where::FarDevice:
        return "a far device at " + rate + " answers to a device server's port at the tester's " +
               tester.text();
    default:
        return "a device server's port at " + rate +
               " reads back from a far device at the tester's " + tester.text();
    }
}
} // namespace

std::string SpeedMatch::text() const
{
    std::string text = "the replies are what " + phrase(where, other, tester);
    if (!alike.empty())
        text += ", or what " + phrase(alike.front().where, alike.front().other, tester);
    return text;
}

const std::vector<std::uint32_t> &SpeedMatcher::rates()
{
    static const std::vector<std::uint32_t> r{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return r;
}

const std::vector<LineSettings> &SpeedMatcher::formats()
{
    // in order of preference: where two explain the replies equally, the commoner is named
    static const std::vector<LineSettings> f = [] {
        std::vector<LineSettings> out;
        for (int data : {8, 7})
            for (char parity : {'N', 'E', 'O'})
                for (int stop : {1, 2})
                    out.push_back({0, data, parity, stop});
        return out;
    }();
    return f;
}

SpeedMatcher::SpeedMatcher(const LineSettings &tester, std::size_t window)
    : tester(tester), window(std::max<std::size_t>(window, 1))
{
}

void SpeedMatcher::sent(unsigned char byte, double atMs)
{
    sentBytes.push_back({byte, atMs});
    if (sentBytes.size() > window) {
        sentBytes.pop_front();
        // a reply older than the oldest byte kept answers nothing in the window
        while (!replies.empty() && replies.front().atMs < sentBytes.front().atMs)
            replies.pop_front();
    }
}

void SpeedMatcher::replied(unsigned char byte, double atMs)
{
    replies.push_back({byte, atMs});
    if (replies.size() > kRepliesPerByte * window)
        replies.pop_front();
}

void SpeedMatcher::newRun()
{
    sentBytes.clear();
    replies.clear();
}

std::optional<SpeedMatch> SpeedMatcher::recognise() const
{
    if (replies.empty() || sentBytes.empty())
        return std::nullopt;
    std::vector<Stamp> sent;
    for (const Stamped &s : sentBytes)
        sent.push_back({s.byte, s.atMs});
    Bytes got;
    for (const Stamped &r : replies)
        got.push_back(r.byte);

    const std::size_t echoed = common(bytesOf(sent), got);
    const std::size_t changed = got.size() - echoed;
    if (!mostRepliesChanged(static_cast<long long>(changed), static_cast<long long>(got.size())))
        return std::nullopt;

    std::optional<SpeedMatch> best;
    double bestScore = 0;
    auto consider = [&](SpeedMatch::Where where, const LineSettings &other, const Bytes &predicted) {
        if (predicted.empty())
            return;
        const std::size_t explained = common(predicted, got);
        const double ofReplies = double(explained) / double(got.size());
        const double ofPrediction = double(explained) / double(predicted.size());
        const double score = 2.0 * explained / double(predicted.size() + got.size());
        if (ofReplies < kExplains || ofPrediction < kExplains || explained <= echoed ||
            score < bestScore)
            return;
        if (best && score == bestScore) {
            // the first candidate of each other place that does as well
            if (where != best->where &&
                std::none_of(best->alike.begin(), best->alike.end(),
                             [&](const SpeedMatch::Alike &a) { return a.where == where; }))
                best->alike.push_back({where, other});
            return;
        }
        bestScore = score;
        best = SpeedMatch{where, other, tester, got.size(), changed, explained, {}};
    };
    // places in order of preference, then rates and formats: ties go to the first
    std::vector<std::pair<LineSettings, std::vector<Stamp>>> atFar;
    for (std::uint32_t rate : rates()) {
        for (LineSettings other : formats()) {
            other.baud = rate;
            if (other != tester)
                atFar.emplace_back(other, across(sent, tester, other));
        }
    }
    for (const auto &[other, far] : atFar)
        consider(SpeedMatch::Where::FarEnd, other, bytesOf(far));
    for (const auto &[other, far] : atFar)
        consider(SpeedMatch::Where::FarDevice, other, bytesOf(across(far, other, tester)));
    for (const auto &[other, far] : atFar)
        consider(SpeedMatch::Where::ServerPort, other,
                 bytesOf(across(across(sent, other, tester), tester, other)));
    return best;
}
