// A relay's JSON stream read back by field name: whatever is missing, null or unknown is left
// out, so that streams cut short, of older or newer formats, and of several relays read alike.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace plot {

struct RoundTrip {
    std::optional<double> p50, p99, max;   // ms
};

// The tester's bytes and what became of them; a count not given is 0.
struct Counts {
    long long sends = 0, echoed = 0, lost = 0, changed = 0, extra = 0;
    Counts &operator+=(const Counts &o)
    {
        sends += o.sends;
        echoed += o.echoed;
        lost += o.lost;
        changed += o.changed;
        extra += o.extra;
        return *this;
    }
};

struct Interval : Counts {
    double fromS = 0, toS = 0;          // on the stream's time line (relays one after another)
    std::optional<bool> com3Open;       // not given: not known
    std::optional<bool> traffic;        // bytes carried either way; not given: not known
    std::optional<RoundTrip> roundTrip;
    unsigned codes = 0;                 // the verdicts it holds, a bit each (RunStream::codes)
};

// Where an interval's verdicts differ from those of the last interval that carried anything;
// intervals that carried nothing change nothing, as in the relay's interval lines.
struct VerdictChange {
    double atS = 0;
    std::vector<std::string> codes;     // gravest first
    std::string text;                   // the gravest verdict's
};

struct RunMark {
    double atS = 0;
    long long run = 0;                  // 0: the stream did not number it
    std::string settings;
};

struct Totals : Counts {
    double elapsedS = 0;
    long long runs = 0;
    std::vector<std::string> codes, texts;   // the whole run's verdicts
};

struct RunStream {
    // Verdict codes in the order they first came; one bit each in Interval::codes, the last
    // bit standing for every code after the first kCodeBits - 1.
    static constexpr int kCodeBits = 10;
    std::vector<std::string> codes;
    std::string link, target, targetKind;
    int relays = 0;                     // start records
    std::vector<Interval> intervals;    // in time order
    std::vector<RunMark> runs;
    std::vector<VerdictChange> verdictChanges;
    std::vector<Totals> ends;           // one per relay that reached its end
    double lengthS = 0;                 // to the latest time any record gives
    int unreadLines = 0;                // not a JSON object, or an interval without a time
    int records = 0;                    // lines read as records of any type
    bool looksLikeReport = false;       // one JSON document with the report's members
};

RunStream readRunStream(std::istream &in);

} // namespace plot
