#include "farend/diagnosis/recogniser.h"

#include "testcycle/testcycle.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr std::size_t kRepliesPerSend = 8;
constexpr std::size_t kSeenKept = 8;
constexpr std::size_t kCached = 8;
constexpr std::size_t kVariantsKept = 4;
constexpr double kReadingEveryMs = 100;
constexpr long long kRunMappingSeen = 3;

bool isUniform(const std::string &image)
{
    return !image.empty() && image.find_first_not_of(image[0]) == std::string::npos;
}

bool follows(unsigned char before, unsigned char byte)
{
    const char *at = std::find(testcycle::kChars, testcycle::kChars + testcycle::kLength,
                               static_cast<char>(before));
    if (at == testcycle::kChars + testcycle::kLength)
        return false;
    return testcycle::at(at - testcycle::kChars + 1) == static_cast<char>(byte);
}

// Two readings of one mapping: the same kind, and for a mapping the same cycle but for a byte in
// twenty (a byte the vote got wrong), or one byte value repeated about as often.
bool alike(const ReplyCycle &a, const ReplyCycle &b)
{
    if (a.kind != b.kind)
        return false;
    if (a.kind != ReplyCycle::Kind::Systematic)
        return true;
    const std::string &x = a.image, &y = b.image;
    const bool uniformX = isUniform(x), uniformY = isUniform(y);
    if (uniformX || uniformY)
        return uniformX && uniformY && x[0] == y[0] && 4 * x.size() >= 3 * y.size() &&
               4 * y.size() >= 3 * x.size();
    return cycleDistance(x, y) <= std::max<std::size_t>(1, x.size() / 20);
}

// The setting a named one stands for, to replay: its rate and its first format.
LineSettings settingOf(const NamedSetting &n)
{
    LineSettings s = n.formats.front();
    s.baud = n.rate;
    return s;
}
} // namespace

MappingRecogniser::MappingRecogniser(const LineSettings &tester) : tester(tester) {}

void MappingRecogniser::sent(unsigned char byte, double atMs)
{
    if (!sends.empty() && !follows(sends.back().byte, byte)) {
        newRun();   // not the test cycle: what came before says nothing of what follows
        seen.clear();
    }
    sends.push_back({byte, atMs});
    if (sends.size() > kWindow) {
        sends.pop_front();
        // a reply older than the oldest byte kept answers nothing in the window
        while (!replies.empty() && replies.front().atMs < sends.front().atMs)
            replies.pop_front();
    }
    // a reading every cycle, and no more than ten a second when the tester sends fast
    if (++sinceReading >= testcycle::kLength && atMs - lastReadingMs >= kReadingEveryMs) {
        sinceReading = 0;
        lastReadingMs = atMs;
        tally();
    }
}

void MappingRecogniser::replied(unsigned char byte, double atMs)
{
    if (sends.empty())
        return;
    replies.push_back({byte, atMs});
    if (replies.size() > kRepliesPerSend * kWindow)
        replies.pop_front();
}

void MappingRecogniser::newRun()
{
    sends.clear();
    replies.clear();
    sinceReading = 0;
    lastReadingMs = -1e300;
    lastTallied = {};
    repeatedUntilMs = -1;
    changedAfterMs.reset();
}

ReplyCycle MappingRecogniser::reading() const
{
    return readingSince(-1e300);
}

ReplyCycle MappingRecogniser::readingSince(double fromMs) const
{
    std::vector<unsigned char> r;
    r.reserve(replies.size());
    for (const Stamped &s : replies)
        if (s.atMs > fromMs)
            r.push_back(s.byte);
    return readReplyCycle(r, static_cast<std::size_t>(sendsSince(fromMs)));
}

long long MappingRecogniser::sendsSince(double fromMs) const
{
    return std::count_if(sends.begin(), sends.end(),
                         [&](const Stamped &s) { return s.atMs > fromMs; });
}

bool MappingRecogniser::changedLately() const
{
    if (changedAfterMs)
        return sendsSince(*changedAfterMs) < kCyclesAfterChange * testcycle::kLength;
    return newestCycleBroken();
}

bool MappingRecogniser::newestCycleBroken() const
{
    const std::size_t n = testcycle::kLength;
    if (lastTallied.kind != ReplyCycle::Kind::Clean || sends.size() < n)
        return false;
    const double from = sends[sends.size() - n].atMs;
    std::vector<unsigned char> r;
    for (const Stamped &s : replies)
        if (s.atMs > from)
            r.push_back(s.byte);
    // or echoes and then, crowding the end, replies that are not: changed just now, too few yet
    return r.size() >= n / 2 && (echoShare(r) < kRepeats || changedAtTheEnd(r));
}

void MappingRecogniser::tally()
{
    const ReplyCycle now = reading();
    if (now.kind == ReplyCycle::Kind::TooFew)
        return;
    lastTallied = now;
    if (now.repeats()) {
        repeatedUntilMs = sends.back().atMs;
        changedAfterMs.reset();
    } else if (repeatedUntilMs >= 0 && !changedAfterMs) {
        changedAfterMs = repeatedUntilMs;   // the new replies start after the last that repeated
    }
    for (Seen &s : seen) {
        if (alike(s.reading, now)) {
            ++s.times;
            s.perCycle += now.perCycle;
            // the steadiest reading stands for the mapping: the first may hold a start that a
            // busy machine bunched, with a byte the vote got wrong
            if (now.stable > s.reading.stable)
                s.reading = now;
            keepVariant(s, now);
            return;
        }
    }
    if (seen.size() == kSeenKept) {   // the least seen makes room
        auto least = std::min_element(seen.begin(), seen.end(), [](const Seen &a, const Seen &b) {
            return a.times < b.times;
        });
        seen.erase(least);
    }
    seen.push_back({now, 1, now.perCycle, {}});
    keepVariant(seen.back(), now);
}

void MappingRecogniser::keepVariant(Seen &s, const ReplyCycle &r)
{
    if (r.kind != ReplyCycle::Kind::Systematic || isUniform(r.image))
        return;   // a count of one byte value has no bytes a vote could get wrong
    const std::string key = canonicalCycle(r.image);
    auto same = std::find_if(s.variants.begin(), s.variants.end(), [&](const ReplyCycle &v) {
        return canonicalCycle(v.image) == key;
    });
    if (same != s.variants.end()) {
        if (r.stable <= same->stable)
            return;
        s.variants.erase(same);
    }
    s.variants.insert(std::upper_bound(s.variants.begin(), s.variants.end(), r,
                                       [](const ReplyCycle &a, const ReplyCycle &b) {
                                           return a.stable > b.stable;
                                       }),
                      r);
    if (s.variants.size() > kVariantsKept)
        s.variants.pop_back();
}

std::optional<double> MappingRecogniser::periodMs() const
{
    std::vector<double> gaps;
    for (std::size_t i = 1; i < sends.size(); ++i)
        gaps.push_back(sends[i].atMs - sends[i - 1].atMs);
    if (gaps.empty())
        return std::nullopt;
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    // the tester's periods are whole milliseconds: rounded, one chain is replayed one way
    const double median = gaps[gaps.size() / 2];
    const double unit = median >= 2 ? 0.5 : 0.05;
    return std::max(unit, std::round(median / unit) * unit);
}

std::optional<RecognisedMapping> MappingRecogniser::explain(const ReplyCycle &reading,
                                                            bool portFollowsTester,
                                                            bool forRun) const
{
    if (reading.kind != ReplyCycle::Kind::Systematic)
        return std::nullopt;
    ReplyCycle c = reading;
    const bool uniform = isUniform(c.image);
    if (uniform) {   // its count is all it says: to half a reply, so that a run reads one way
        c.perCycle = std::max(0.5, std::round(c.perCycle * 2) / 2);
        c.image.assign(std::size_t(std::lround(std::max(1.0, c.perCycle))), c.image[0]);
    }
    auto hit = std::find_if(cache.begin(), cache.end(), [&](const Cached &k) {
        // an interval takes an answer for about as many; the run's one for its own count
        if (uniform)
            return isUniform(k.image) && k.image[0] == c.image[0] &&
                   (forRun ? k.perCycle == c.perCycle
                           : std::abs(k.perCycle - c.perCycle) <= c.perCycle / 10);
        // the run's variants are each tried as they are
        if (forRun)
            return canonicalCycle(k.image) == canonicalCycle(c.image);
        ReplyCycle cached = c;
        cached.image = k.image;
        return alike(cached, c);
    });
    const double period = periodMs().value_or(10);
    const double perCycle = uniform ? c.perCycle : 0;
    if (hit == cache.end()) {
        ++searches_;
        if (cache.size() == kCached)
            cache.erase(cache.begin());
        cache.push_back({c.image, perCycle, explainCycle(c.image, tester, period, perCycle)});
        hit = cache.end() - 1;
    }
    RecognisedMapping m = nameExplanation(hit->explanation, tester, portFollowsTester, uniform);
    m.stable = c.stable;
    m.repliesPerCycle = c.image.size();
    if (m.explained() && m.named.front().where != Place::FarEnd) {
        // what the setting makes the device server's UART report (a far end's own errors reach
        // no device server)
        const NamedSetting &n = m.named.front();
        const LineSettings other = settingOf(n);
        const bool port = n.where == Place::ServerPort;
        const CycleCheck check = checkCycle(hit->image, port ? other : tester,
                                            port ? tester : other, true, period, perCycle);
        m.framingPerCycle = check.framing;
        m.parityPerCycle = check.parity;
    }
    return m;
}

std::optional<RecognisedMapping> MappingRecogniser::recognise(bool portFollowsTester) const
{
    ReplyCycle r = reading();
    if (r.kind == ReplyCycle::Kind::NotSystematic && changedAfterMs) {
        // the replies changed: what came since, once there is enough of it to read
        if (changedLately())
            return std::nullopt;
        r = readingSince(*changedAfterMs);

    } else if (r.kind == ReplyCycle::Kind::NotSystematic &&
               lastTallied.kind == ReplyCycle::Kind::Systematic) {
        r = lastTallied;   // a cycle ago the mapping read whole: a byte out of step since
    }
    return explain(r, portFollowsTester, false);
}

std::optional<RecognisedMapping> MappingRecogniser::recogniseRun(bool portFollowsTester) const
{
    // the mapping seen most, once seen a few times: a chain clean for most of the run and then
    // set wrong is named for what it did wrong
    const Seen *most = nullptr, *mapping = nullptr;
    for (const Seen &s : seen) {
        if (!most || s.times > most->times)
            most = &s;
        if (s.reading.kind == ReplyCycle::Kind::Systematic && s.times >= kRunMappingSeen &&
            (!mapping || s.times > mapping->times))
            mapping = &s;
    }
    most = mapping ? mapping : most;
    if (!most)   // not a cycle read yet: what the window shows
        return recognise(portFollowsTester);
    const double perCycle = most->perCycle / double(most->times);
    // a mapping read with a byte or two the vote got wrong in some readings: the steadiest
    // reading that a setting explains exactly stands for it, else the steadiest
    for (const ReplyCycle &v : most->variants) {
        ReplyCycle c = v;
        c.perCycle = perCycle;
        std::optional<RecognisedMapping> m = explain(c, portFollowsTester, true);
        if (m && m->explained())
            return m;
    }
    ReplyCycle c = most->reading;
    c.perCycle = perCycle;
    return explain(c, portFollowsTester, true);
}
