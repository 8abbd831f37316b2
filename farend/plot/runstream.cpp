#include "farend/plot/runstream.h"

#include "farend/figures/fields.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace plot {

using nlohmann::json;

namespace {

// Reports of a few MiB are read whole to recognise them; a stream is never held.
constexpr size_t kReportLimit = 16u << 20;

std::optional<double> number(const json &o, const char *key)
{
    const auto it = o.find(key);
    if (it == o.end() || !it->is_number())
        return std::nullopt;
    const double v = it->get<double>();
    return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

long long count(const json &o, const char *key)
{
    const auto it = o.find(key);
    if (it == o.end() || !it->is_number())
        return 0;
    if (it->is_number_float()) {
        const double v = it->get<double>();
        return std::isfinite(v) && v > 0 && v < 9e18 ? std::llround(v) : 0;
    }
    if (it->is_number_unsigned())
        return static_cast<long long>(std::min<json::number_unsigned_t>(it->get<json::number_unsigned_t>(),
                                                                         9000000000000000000ull));
    return std::max<long long>(0, it->get<long long>());
}

Counts counts(const json &o)
{
    Counts c;
    c.sends = count(o, field::sends);
    c.echoed = count(o, field::echoed);
    c.lost = count(o, field::lost);
    c.changed = count(o, field::changed);
    c.extra = count(o, field::extra);
    return c;
}

std::string text(const json &o, const char *key)
{
    const auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<bool> flag(const json &o, const char *key)
{
    const auto it = o.find(key);
    return it != o.end() && it->is_boolean() ? std::optional<bool>(it->get<bool>()) : std::nullopt;
}

void readVerdicts(const json &o, std::vector<std::string> &codes, std::vector<std::string> *texts)
{
    const auto it = o.find(field::verdicts);
    if (it == o.end() || !it->is_array())
        return;
    for (const json &v : *it) {
        if (!v.is_object())
            continue;
        const std::string code = text(v, field::code);
        codes.push_back(code.empty() ? "?" : code);
        if (texts)
            texts->push_back(text(v, field::text));
    }
}

std::optional<RoundTrip> roundTrip(const json &o)
{
    const auto it = o.find(field::roundTripMs);
    if (it == o.end() || !it->is_object())
        return std::nullopt;
    RoundTrip r{number(*it, field::p50), number(*it, field::p99), number(*it, field::max)};
    if (!r.p50 && !r.p99 && !r.max)
        return std::nullopt;
    return r;
}

class Reader {
public:
    explicit Reader(RunStream &s) : s(s) {}

    bool record(const json &r)
    {
        const std::string type = text(r, field::type);
        if (type == field::start)
            start(r);
        else if (type == field::interval)
            return interval(r);
        else if (type == field::run)
            run(r);
        else if (type == field::end)
            end(r);
        return true;   // a type of a later format is no fault
    }

private:
    void start(const json &r)
    {
        if (s.relays == 0) {
            s.link = text(r, field::link);
            s.target = text(r, field::target);
            s.targetKind = text(r, field::targetKind);
        }
        ++s.relays;
        offset = s.lengthS;   // the next relay's time starts where this one's ended
        const std::optional<double> i = number(r, field::intervalS);
        intervalS = i && *i > 0 ? *i : 0;
    }

    bool interval(const json &r)
    {
        std::optional<double> from = number(r, field::fromS), to = number(r, field::toS);
        if (!from && to && intervalS > 0)
            from = *to - intervalS;
        if (from && !to && intervalS > 0)
            to = *from + intervalS;
        if (!from || !to || *to < *from)
            return false;
        Interval i;
        i.fromS = offset + std::max(0.0, *from);
        i.toS = offset + std::max(0.0, *to);
        static_cast<Counts &>(i) = counts(r);
        i.com3Open = flag(r, field::com3Open);
        const std::optional<double> toChain = number(r, field::toChain),
                                    fromChain = number(r, field::fromChain);
        if (toChain || fromChain)
            i.traffic = toChain.value_or(0) > 0 || fromChain.value_or(0) > 0;
        i.roundTrip = roundTrip(r);
        std::vector<std::string> codes, texts;
        readVerdicts(r, codes, &texts);
        for (const std::string &code : codes)
            i.codes |= 1u << bit(code);
        if (i.traffic != false && (!lastCodes || codes != *lastCodes)) {
            s.verdictChanges.push_back({i.fromS, codes, texts.empty() ? std::string() : texts.front()});
            lastCodes = codes;
        }
        s.lengthS = std::max(s.lengthS, i.toS);
        s.intervals.push_back(std::move(i));
        return true;
    }

    int bit(const std::string &code)
    {
        const auto known = std::find(s.codes.begin(), s.codes.end(), code);
        if (known != s.codes.end())
            return static_cast<int>(known - s.codes.begin());
        if (s.codes.size() + 1 < RunStream::kCodeBits) {
            s.codes.push_back(code);
            return static_cast<int>(s.codes.size()) - 1;
        }
        if (s.codes.size() + 1 == RunStream::kCodeBits)
            s.codes.push_back("other");
        return RunStream::kCodeBits - 1;
    }

    void run(const json &r)
    {
        RunMark m;
        m.atS = offset + std::max(0.0, number(r, field::atS).value_or(0));
        m.run = count(r, field::run);
        m.settings = text(r, field::settings);
        s.lengthS = std::max(s.lengthS, m.atS);
        s.runs.push_back(std::move(m));
    }

    void end(const json &r)
    {
        Totals t;
        t.elapsedS = std::max(0.0, number(r, field::elapsedS).value_or(0));
        t.runs = count(r, field::runs);
        static_cast<Counts &>(t) = counts(r);
        readVerdicts(r, t.codes, &t.texts);
        s.lengthS = std::max(s.lengthS, offset + t.elapsedS);
        s.ends.push_back(std::move(t));
    }

    RunStream &s;
    double offset = 0, intervalS = 0;
    std::optional<std::vector<std::string>> lastCodes;   // of the last interval that carried anything
};

} // namespace

RunStream readRunStream(std::istream &in)
{
    RunStream s;
    Reader reader(s);
    std::string line, head;   // head: what came before the first record, in case it is a report
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        json r = json::parse(line, nullptr, false);
        if (!r.is_object() || !r.contains(field::type)) {
            if (s.records == 0 && head.size() < kReportLimit)
                head += line + '\n';
            ++s.unreadLines;
            continue;
        }
        ++s.records;
        head.clear();
        if (!reader.record(r))
            ++s.unreadLines;
    }
    if (s.records == 0) {
        const json r = json::parse(head, nullptr, false);
        s.looksLikeReport =
            r.is_object() && r.contains(field::format) && r.contains(field::verdicts);
    }
    std::stable_sort(s.intervals.begin(), s.intervals.end(),
                     [](const Interval &a, const Interval &b) { return a.fromS < b.fromS; });
    std::stable_sort(s.runs.begin(), s.runs.end(),
                     [](const RunMark &a, const RunMark &b) { return a.atS < b.atS; });
    return s;
}

} // namespace plot
