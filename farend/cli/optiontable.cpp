#include "farend/cli/optiontable.h"

#include "farend/line/uart.h"
#include "farend/text/prose.h"

const char kShortOptions[] = "+:hVi:c:t:l:o:";

const option longOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"port", required_argument, nullptr, kPort},
    {"listen", required_argument, nullptr, kListen},
    {"relay", required_argument, nullptr, kRelay},
    {"link", required_argument, nullptr, kLink},
    {"reconnect", no_argument, nullptr, kReconnect},
    {"report", required_argument, nullptr, kReport},
    {"report-stream", required_argument, nullptr, kReportStream},
    {"interval", required_argument, nullptr, kInterval},
    {"time", required_argument, nullptr, kTime},
    {"count", required_argument, nullptr, kCount},
    {"expect-clean", no_argument, nullptr, kExpectClean},
    {"metrics", required_argument, nullptr, kMetrics},
    {"owner", required_argument, nullptr, kOwner},
    {"group", required_argument, nullptr, kGroup},
    {"mode", required_argument, nullptr, kMode},
    {"plot", required_argument, nullptr, kPlot},
    {"output", required_argument, nullptr, kOutput},
    {"latency", required_argument, nullptr, kLatency},
    {"paced", no_argument, nullptr, kPaced},
    {"drop", required_argument, nullptr, kDrop},
    {"corrupt", required_argument, nullptr, kCorrupt},
    {"silent", no_argument, nullptr, kSilent},
    {"wrong-baud", required_argument, nullptr, kWrongBaud},
    {"far-device", required_argument, nullptr, kFarDevice},
    {"server-port", required_argument, nullptr, kServerPort},
    {"hangup-after", required_argument, nullptr, kHangupAfter},
    {"seed", required_argument, nullptr, kSeed},
    {nullptr, 0, nullptr, 0},
};

std::vector<const option *> matching(const std::string &typed)
{
    std::vector<const option *> found;
    const std::string name = typed.substr(0, typed.find('=')).substr(2);
    for (const option *o = longOptions; o->name; ++o) {
        if (name == o->name)
            return {o};
        if (!name.empty() && std::string(o->name).rfind(name, 0) == 0)
            found.push_back(o);
    }
    return found;
}

namespace {

const NumberRule numberRules[] = {
    {kLatency, 0, 60000},
    {kDrop, 0, 100},
    {kCorrupt, 0, 100},
    {kInterval, 0.1, 86400, "seconds", "0 (no lines)"},
    {kTime, 0.1, 1e9, "seconds"},
    {kCount, 1, 1e15, "a whole number of sends"},
    {kMode, 0, 0777, "an octal mode"},
    {kWrongBaud, kMinWrongRate, kMaxWrongRate},
    {kFarDevice, kMinWrongRate, kMaxWrongRate, "RATE,FORMAT: a whole rate"},
    {kServerPort, kMinWrongRate, kMaxWrongRate, "RATE,FORMAT: a whole rate"},
    {kHangupAfter, 0, 1e15},
    {kSeed, 0, 4294967295.0},
};

// "0.1", "86400", "1000000000000000"; a mode in octal, "0777".
std::string bound(int id, double v)
{
    if (id == kMode)
        return format("%04o", static_cast<unsigned>(v));
    return format(v == static_cast<long long>(v) ? "%.0f" : "%g", v);
}

} // namespace

const NumberRule *numberRule(int id)
{
    for (const NumberRule &r : numberRules)
        if (r.id == id)
            return &r;
    return nullptr;
}

std::string needsValue(int id)
{
    const option *o = longOptions;
    while (o->name && o->val != id)
        ++o;
    if (!o->name)
        return "an option needs a value";
    const std::string lead = "option --" + std::string(o->name) + " needs ";
    const NumberRule *r = numberRule(id);
    if (!r)
        return lead + "a value";
    const std::string range = (r->zero ? std::string(r->zero) + " or " : "") + r->what +
                              " from " + bound(id, r->min) + " to " + bound(id, r->max);
    if (id == kFarDevice || id == kServerPort)
        return lead + range + " and a frame format such as 8N1 or 7E2 (data bits 5 to 8, parity "
                              "N, E, O, M or S, stop bits 1 or 2)";
    return lead + range;
}
