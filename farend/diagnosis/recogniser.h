// Recognises a wrong speed or frame format on a chain from what it carries: the tester's test
// cycle and the replies. Every cycle sent, one pass over the window says whether the replies
// repeat from cycle to cycle and how (readReplyCycle); a cycle of replies that repeats and is not
// the cycle sent is explained once by replaying the cycle through farend's UART model
// (explainCycle), and the answer is kept for that mapping.
#pragma once

#include "farend/diagnosis/explainer.h"
#include "farend/diagnosis/naming.h"
#include "farend/diagnosis/replycycle.h"
#include "farend/line/linesettings.h"
#include "farend/line/tester.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

class MappingRecogniser {
public:
    // Keeps the last eight cycles sent and at most eight replies for each: memory is bounded
    // whatever the chain does.
    explicit MappingRecogniser(const LineSettings &tester = kTesterLine);

    void sent(unsigned char byte, double atMs);
    void replied(unsigned char byte, double atMs);
    // A new run: what was sent before does not explain what comes now.
    void newRun();

    // What the replies in the window show: a mapping explained or not; nothing for a clean
    // chain, replies that do not repeat, or too few. `portFollowsTester`: an RFC 2217 server
    // acknowledged the tester's settings for its port.
    std::optional<RecognisedMapping> recognise(bool portFollowsTester = false) const;
    // The same for the run: what the replies showed at most of the cycles sent so far.
    std::optional<RecognisedMapping> recogniseRun(bool portFollowsTester = false) const;
    // What the window shows now, before any explanation.
    ReplyCycle reading() const;
    // Whether two test cycles' replies were compared yet, and, where the replies changed from
    // repeating to not, enough cycles since: before, changed replies say nothing.
    bool cyclesRead() const { return !seen.empty() && !changedLately(); }
    // Whether the replies stopped repeating as they did fewer than kCyclesAfterChange cycles
    // ago, or, where they were echoes, within the newest cycle: the window still holds the old
    // with the new.
    bool changedLately() const;
    static constexpr long long kCyclesAfterChange = 3;
    // The tester's period: the median gap between the sends in the window, to half a
    // millisecond (a twentieth below 2 ms); nothing before two sends.
    std::optional<double> periodMs() const;

    // Bytes and replies held: never more than nine times the window of sends.
    std::size_t held() const { return sends.size() + replies.size(); }
    static constexpr std::size_t kWindow = 8 * 36;
    // Searches run so far (each a few tens of milliseconds).
    long long searches() const { return searches_; }

private:
    struct Stamped {
        unsigned char byte;
        double atMs;
    };
    // Readings of the run: how often each kind, and each mapping, was seen.
    struct Seen {
        ReplyCycle reading;
        long long times = 0;
        double perCycle = 0;   // the readings' replies a cycle added up
        // the steadiest reading of each cycle the vote made of it, steadiest first: a few
        std::vector<ReplyCycle> variants;
    };
    static void keepVariant(Seen &s, const ReplyCycle &r);
    std::optional<RecognisedMapping> explain(const ReplyCycle &c, bool portFollowsTester,
                                             bool forRun) const;
    void tally();
    // What the replies since `fromMs` show, to the sends since then.
    ReplyCycle readingSince(double fromMs) const;
    long long sendsSince(double fromMs) const;
    // Whether the replies were echoes when last read, and those to the newest cycle are not.
    bool newestCycleBroken() const;

    LineSettings tester;
    std::deque<Stamped> sends, replies;
    long long sinceReading = 0;
    double lastReadingMs = -1e300;
    std::vector<Seen> seen;   // a few: kinds and mappings, in the order first seen
    ReplyCycle lastTallied;   // the newest reading
    double repeatedUntilMs = -1;         // the last send of the last reading that repeated
    std::optional<double> changedAfterMs;   // the replies have not repeated since then
    struct Cached {
        std::string image;
        double perCycle;
        Explanation explanation;
    };
    mutable std::vector<Cached> cache;   // the searches' answers, newest last
    mutable long long searches_ = 0;
};
