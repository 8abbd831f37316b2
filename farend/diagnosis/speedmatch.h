// Recognises a wrong speed or frame format on a chain from what it carries: the bytes sent with
// their times and the replies. When most replies are changed, it replays the tester's bytes
// through the UART model for the common rates and formats and names the setting that explains
// the replies, or nothing.
#pragma once

#include "farend/line/linesettings.h"
#include "farend/line/tester.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// Whether more than half of `replies` are changed: only then is there something for a wrong
// speed to explain.
bool mostRepliesChanged(long long changed, long long replies);

struct SpeedMatch {
    // Where the ends disagree.
    enum class Where {
        FarEnd,        // the far end reads the tester's line at `other`; its answer comes intact
        FarDevice,     // the device server's port at the tester's settings, the far device at
                       // `other`: both directions converted
        ServerPort,    // the device server's port at `other`, the far device at the tester's
    };
    Where where;
    LineSettings other;
    LineSettings tester;
    std::size_t replies = 0;     // in the window
    std::size_t changed = 0;     // of them, not an echo of what was sent
    std::size_t explained = 0;   // of the replies, as the model predicts them
    // A place elsewhere that gives the same replies: with each byte alone on the line, a far
    // device at twice the rate looks as a device server's port at half of it does.
    struct Alike {
        Where where;
        LineSettings other;
    };
    std::vector<Alike> alike;

    // "the replies are what a far end at 19200 baud 8N1 makes of the tester's 9600 8N1"
    std::string text() const;
};

class SpeedMatcher {
public:
    // Keeps the last `window` bytes sent and at most four replies for each: memory is bounded
    // whatever the chain does.
    explicit SpeedMatcher(const LineSettings &tester = kTesterLine, std::size_t window = 128);

    void sent(unsigned char byte, double atMs);
    void replied(unsigned char byte, double atMs);
    // A new run: what was sent before does not explain what comes now.
    void newRun();

    // The best explanation of the replies in the window, when most of them are changed and it
    // explains most of them; nothing otherwise (a clean chain, random corruption, no replies).
    std::optional<SpeedMatch> recognise() const;

    // The rates and formats tried.
    static const std::vector<std::uint32_t> &rates();
    static const std::vector<LineSettings> &formats();   // baud left 0
    // Bytes and replies held: never more than five times the window.
    std::size_t held() const { return sentBytes.size() + replies.size(); }

private:
    struct Stamped {
        unsigned char byte;
        double atMs;
    };
    LineSettings tester;
    std::size_t window;
    std::deque<Stamped> sentBytes, replies;
};
