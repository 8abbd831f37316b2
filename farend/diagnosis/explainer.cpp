#include "farend/diagnosis/explainer.h"

#include "farend/line/tester.h"
#include "farend/line/uart.h"
#include "testcycle/testcycle.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {
// The scan: the standard and the known rates, and between them steps of 1%, finer than the
// spans of rates that give one cycle of replies (2.5% and wider on the chains measured).
constexpr double kStep = 1.01;
constexpr double kLowest = 110, kHighest = 1000000;
constexpr int kSomeOfTheCycle = 4;
// How far the count of replies of one byte value may be from the count a cycle measured.
constexpr double kSlack = 0.1;

const std::vector<std::uint32_t> &scanRates()
{
    static const std::vector<std::uint32_t> r = [] {
        std::vector<std::uint32_t> out(standardRates());
        out.insert(out.end(), knownRates().begin(), knownRates().end());
        for (double rate = kLowest; rate <= kHighest; rate *= kStep)
            out.push_back(static_cast<std::uint32_t>(std::lround(rate)));
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }();
    return r;
}

// The replies of a candidate against the image, byte by byte: the starts in the image they can
// still stand for.
class Follower {
public:
    Follower(const std::string &image, double perCycle)
        : image(image), perCycle(perCycle > 0 ? perCycle : double(image.size()))
    {
        for (std::size_t i = 0; i < image.size(); ++i)
            at[static_cast<unsigned char>(image[i])].push_back(static_cast<std::uint32_t>(i));
        uniform = image.find_first_not_of(image[0]) == std::string::npos;
    }
    void restart() { taken = 0; }
    // False once no start is left.
    bool take(unsigned char b)
    {
        const std::size_t q = image.size();
        if (taken == 0) {
            starts = at[b];
        } else {
            std::size_t kept = 0;
            for (std::uint32_t s : starts)
                if (static_cast<unsigned char>(image[(s + taken) % q]) == b)
                    starts[kept++] = s;
            starts.resize(kept);
        }
        ++taken;
        return !starts.empty() && (taken <= q || (uniform && taken <= perCycle * (1 + kSlack)));
    }
    bool whole() const
    {
        if (uniform)   // one byte value: its count is all there is, and it varies a little
            return !starts.empty() && std::abs(double(taken) - perCycle) <= perCycle * kSlack;
        return taken == image.size() && !starts.empty();
    }

private:
    const std::string &image;
    const double perCycle;
    std::array<std::vector<std::uint32_t>, 256> at;
    std::vector<std::uint32_t> starts;
    std::size_t taken = 0;
    bool uniform = false;
};

struct Setup {
    LineSettings port, device;
    bool echoOnLine;
    double detectShare = 0;
};

// Where in the first sixteenth of its bit a receiver notices a start edge: the phase of its
// clock against the sender's, unknown, and steady over a cycle where the replies repeat.
constexpr std::array<double, 4> kDetectShares{0, 1.0 / 64, 2.0 / 64, 3.0 / 64};

Setup setupFor(Place where, const LineSettings &tester, const LineSettings &other)
{
    switch (where) {
    case Place::FarDevice: return {tester, other, true};
    case Place::ServerPort: return {other, tester, true};
    default: return {tester, other, false};
    }
}

struct Trial {
    bool gives = false;
    bool stopBitsShow = false;  // a frame followed another within a bit: a stop bit would move it
    long long framing = 0, parity = 0;
};

double frameMs(const LineSettings &s)
{
    return s.frameBits() * 1000.0 / s.baud;
}

// Whether frames sent every `periodMs` from a UART at `s` follow each other closely enough that
// how a receiver reads one depends on those before.
bool backToBack(double periodMs, const LineSettings &s)
{
    return periodMs < 1.5 * frameMs(s);
}

// The model a search reuses, so that a trial allocates nothing.
struct Replay {
    Replay(const std::string &image, double perCycle) : follow(image, perCycle) {}
    Follower follow;
    EchoChain chain{kTesterLine, kTesterLine};
    std::vector<UartLine::Received> got;
    long long bytes = 0;
};

// One test cycle through the chain, after the last bytes of the cycle before it, every
// `periodMs` (or as fast as the port's frames follow each other), the replies followed against
// the image as they come: the first wrong one ends the trial.
Trial trial(Replay &b, const Setup &s, double periodMs, bool wholeCycleFirst)
{
    const int n = testcycle::kLength;
    // frames back to back make one waveform each receiver fell in with bytes before: some of
    // the cycle before goes first (all of it when every byte of the tester's runs together), so
    // that the cycle followed is the one that repeats
    const double p = std::max(periodMs, frameMs(s.port));
    const int warmup = wholeCycleFirst ? n : backToBack(periodMs, s.port) ? kSomeOfTheCycle : 1;
    EchoChain &chain = b.chain;
    chain.retune(s.port, s.device, s.echoOnLine, s.detectShare);
    for (int k = 0; k < warmup; ++k)
        chain.send(static_cast<unsigned char>(testcycle::at(n - warmup + k)), (k - warmup) * p);
    b.got.clear();
    chain.receive(0, b.got);
    b.bytes += warmup;
    Trial t;
    b.follow.restart();
    for (int i = 0; i <= n; ++i) {
        if (i > 0) {
            b.got.clear();
            chain.receive(i * p, b.got);
            for (const UartLine::Received &r : b.got) {
                t.framing += r.framingError;
                t.parity += r.parityError;
                if (!b.follow.take(r.byte)) {
                    t.stopBitsShow = chain.queued() > 0;
                    return t;
                }
            }
        }
        if (i < n) {
            chain.send(static_cast<unsigned char>(testcycle::at(i)), i * p);
            ++b.bytes;
        }
    }
    t.stopBitsShow = chain.queued() > 0;
    t.gives = b.follow.whole();
    return t;
}

// The trial with the receivers noticing edges at each moment they may, until one gives the
// replies; stop bits show where they did in any.
Trial trialAnyPhase(Replay &b, Setup s, double periodMs, bool wholeCycleFirst)
{
    Trial t;
    bool stopBitsShow = false;
    for (double share : kDetectShares) {
        s.detectShare = share;
        t = trial(b, s, periodMs, wholeCycleFirst);
        stopBitsShow = stopBitsShow || t.stopBitsShow;
        if (t.gives || !b.chain.phaseMatters(kDetectShares.back()))
            break;
    }
    t.stopBitsShow = stopBitsShow;
    return t;
}

// The longest a frame holds the line low: its start bit, its data bits and its parity bit.
int longestLow(const LineSettings &f)
{
    return 1 + f.dataBits + (f.hasParity() ? 1 : 0);
}

// Whether no reply can come back at all: a receiver takes a start only when the line is still
// low half its bit on, so a frame much shorter than the receiver's bit is never read.
bool silentChain(const Setup &s)
{
    const double port = s.port.baud, device = s.device.baud;
    if (longestLow(s.port) / port <= 0.5 / device)
        return true;
    return s.echoOnLine && longestLow(s.device) / device <= 0.5 / port;
}

int rank(const LineSettings &f)
{
    const std::string parities = "NEOMS";
    return (f.stopBits - 1) * 100 + (8 - f.dataBits) * 10 + int(parities.find(f.parity));
}

// The rates of the scan that explain, in spans of neighbours.
std::vector<RateSpan> spans(const std::vector<bool> &gives)
{
    const auto &rates = scanRates();
    const auto &standard = standardRates();
    std::vector<RateSpan> out;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        if (!gives[i])
            continue;
        if (i == 0 || !gives[i - 1])
            out.push_back({rates[i], rates[i], {}});
        out.back().high = rates[i];
        if (std::binary_search(standard.begin(), standard.end(), rates[i]))
            out.back().standard.push_back(rates[i]);
    }
    return out;
}
} // namespace

const std::vector<std::uint32_t> &standardRates()
{
    static const std::vector<std::uint32_t> r{110,   300,   600,    1200,   2400,   4800,  9600,
                                              19200, 38400, 57600, 115200, 230400, 460800, 921600};
    return r;
}

const std::vector<std::uint32_t> &knownRates()
{
    static const std::vector<std::uint32_t> r{150,   200,   1800,   3600,   7200,   14400,  28800,
                                              31250, 56000, 62500, 74880, 76800, 128000, 250000,
                                              256000, 500000, 1000000};
    return r;
}

const std::vector<LineSettings> &frameFormats()
{
    static const std::vector<LineSettings> f = [] {
        std::vector<LineSettings> out;
        for (int stop : {1, 2})
            for (int data : {8, 7, 6, 5})
                for (char parity : std::string("NEOMS"))
                    out.push_back({0, data, parity, stop});
        std::sort(out.begin(), out.end(),
                  [](const LineSettings &a, const LineSettings &b) { return rank(a) < rank(b); });
        return out;
    }();
    return f;
}

CycleCheck checkCycle(const std::string &image, const LineSettings &port,
                      const LineSettings &device, bool echoOnLine, double periodMs,
                      double perCycle)
{
    Replay b(image, perCycle);
    const Trial t =
        trialAnyPhase(b, {port, device, echoOnLine}, periodMs, backToBack(periodMs, port));
    return {t.gives, t.framing, t.parity};
}

Explanation explainCycle(const std::string &image, const LineSettings &tester, double periodMs,
                         double perCycle)
{
    Explanation e;
    if (image.empty())
        return e;
    Replay b(image, perCycle);
    const auto &rates = scanRates();
    // the tester's own bytes back to back: each trial replays a whole cycle first, so only the
    // standard and the known rates are tried
    const bool fewRates = backToBack(periodMs, tester);
    auto listed = [](std::uint32_t rate) {
        const auto &s = standardRates(), &k = knownRates();
        return std::find(s.begin(), s.end(), rate) != s.end() ||
               std::find(k.begin(), k.end(), rate) != k.end();
    };
    const auto &formats = frameFormats();
    for (Place where : {Place::FarDevice, Place::ServerPort, Place::FarEnd}) {
        // the result of each format at each rate; a format's two-stop-bit twin is tried only
        // where its one-stop-bit trial had frames close enough for the stop bits to show
        std::vector<std::vector<bool>> gives(formats.size(), std::vector<bool>(rates.size()));
        std::vector<std::vector<bool>> stopsShow(formats.size(), std::vector<bool>(rates.size()));
        for (std::size_t f = 0; f < formats.size(); ++f) {
            const LineSettings &format = formats[f];
            std::size_t one = f;   // the same format with one stop bit
            if (format.stopBits == 2)
                one = std::find(formats.begin(), formats.end(),
                                LineSettings{0, format.dataBits, format.parity, 1}) -
                      formats.begin();
            // a far end only reads: parity E, O, M and S differ in its error flags alone
            std::size_t same = f;
            if (where == Place::FarEnd && format.hasParity() && format.parity != 'E')
                same = std::find(formats.begin(), formats.end(),
                                 LineSettings{0, format.dataBits, 'E', format.stopBits}) -
                       formats.begin();
            for (std::size_t r = 0; r < rates.size(); ++r) {
                LineSettings other = format;
                other.baud = rates[r];
                if (other == tester || (fewRates && !listed(rates[r])))
                    continue;
                if (same != f) {
                    gives[f][r] = gives[same][r];
                    continue;
                }
                if (one != f && (where == Place::FarEnd || !stopsShow[one][r])) {
                    gives[f][r] = gives[one][r];
                    continue;
                }
                const Setup setup = setupFor(where, tester, other);
                if (silentChain(setup))
                    continue;
                ++e.candidates;
                const Trial t = trialAnyPhase(b, setup, periodMs, fewRates);
                gives[f][r] = t.gives;
                stopsShow[f][r] = t.stopBitsShow;
            }
        }
        for (std::size_t f = 0; f < formats.size(); ++f) {
            if (where == Place::FarEnd && formats[f].stopBits == 2)
                continue;   // a far end that only reads has no stop bits to show
            std::vector<RateSpan> s = spans(gives[f]);
            if (!s.empty())
                e.fits.push_back({where, formats[f], std::move(s)});
        }
    }
    e.bytesSimulated = b.bytes;
    return e;
}
