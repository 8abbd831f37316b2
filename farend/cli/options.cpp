#include "farend/cli/options.h"

#include "farend/cli/optiontable.h"
#include "farend/cli/values.h"
#include "farend/text/prose.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Reads the command line into a configuration, option by option; each step false with `why`
// set at the first thing that is wrong.
class Parser {
public:
    Result<CommandLine> parse(int argc, char **argv);

private:
    bool take(int id, char **argv);
    bool takeRelay(int id, char **argv);
    bool takeLine(int id, char **argv);
    bool number(int id, double &out);
    bool settings(int id, LineSettings &out);
    bool setMode(Config::Mode m, const char *name);
    bool badOption(int id, char **argv);
    bool checkTogether(bool commandGiven);
    bool refuse(Errc code, std::string reason)
    {
        why = {code, std::move(reason)};
        return false;
    }
    bool unknown(std::string reason) { return refuse(Errc::UnknownOption, std::move(reason)); }
    bool badValue(std::string reason) { return refuse(Errc::BadValue, std::move(reason)); }
    bool conflict(std::string reason) { return refuse(Errc::Conflict, std::move(reason)); }

    CommandLine line;
    Config &c = line.config;
    bool linkGiven = false, intervalGiven = false, accessGiven = false, lineGiven = false;
    Error why;
};

Result<CommandLine> Parser::parse(int argc, char **argv)
{
    opterr = 0;   // every message is farend's own, one line
    optind = 1;
    int id;
    // "+": the first word that is no option ends them, as "--" does
    while ((id = getopt_long(argc, argv, kShortOptions, longOptions, nullptr)) != -1) {
        if (id == kHelp || id == kVersion)
            return {CommandLine{id == kHelp, id == kVersion, c}, {}};
        // "--relay --help": help asked where a value was due, the mode's if the option names one
        if (optarg && (std::strcmp(optarg, "--help") == 0 || std::strcmp(optarg, "-h") == 0)) {
            take(id, argv);
            return {CommandLine{true, false, c}, {}};
        }
        if (!take(id, argv))
            return Result<CommandLine>::failed(why);
    }
    const bool commandGiven = optind > 1 && std::strcmp(argv[optind - 1], "--") == 0;
    if (!commandGiven && optind < argc)
        return Result<CommandLine>::failed(Errc::UnknownOption,
                                           "unknown option " + std::string(argv[optind]));
    for (int i = optind; i < argc; ++i)
        c.command.emplace_back(argv[i]);
    if (!checkTogether(commandGiven))
        return Result<CommandLine>::failed(why);
    if (c.mode == Config::Mode::MockedCom3 && c.command.empty())
        c.command.push_back(testerNextToFarend());
    return {line, {}};
}

// One option and its value.
bool Parser::take(int id, char **argv)
{
    switch (id) {
    case kPort: c.device = optarg; return setMode(Config::Mode::SerialDevice, "--port");
    case kListen: c.listenAddress = optarg; return setMode(Config::Mode::TcpServer, "--listen");
    case kRelay: c.relay.target = optarg; return setMode(Config::Mode::Relay, "--relay");
    case kPlot:
        c.plotPath = optarg;
        return (!c.plotPath.empty() || badValue(needsValue(kPlot))) &&
               setMode(Config::Mode::Plot, "--plot");
    case kOutput:
        c.outputPath = optarg;
        return !c.outputPath.empty() || badValue(needsValue(kOutput));
    case kReport: c.reportPath = optarg; return true;
    default: return takeRelay(id, argv);
    }
}

// The relay's options; any other goes on to takeLine().
bool Parser::takeRelay(int id, char **argv)
{
    double v = 0;
    switch (id) {
    case kLink:
        c.relay.linkPath = optarg;
        linkGiven = true;
        return true;
    case kReconnect: c.relay.reconnect = true; return true;
    case kReportStream:
        c.streamPath = optarg;
        return !c.streamPath.empty() || badValue(needsValue(kReportStream));
    case kInterval: intervalGiven = true; return number(kInterval, c.relay.intervalS);
    case kTime: return number(kTime, c.relay.timeS);
    case kCount:
        if (!number(kCount, v))
            return false;
        c.relay.count = static_cast<long long>(v);
        return v == c.relay.count || badValue(needsValue(kCount));
    case kExpectClean: c.relay.expectClean = true; return true;
    case kMetrics:   // its address is checked as it opens, as --listen's is
        c.relay.metrics = optarg;
        return !c.relay.metrics.empty() || badValue(needsValue(kMetrics));
    case kOwner:
        accessGiven = true;
        c.relay.access.owner = userId(optarg);
        return c.relay.access.owner || badValue("option --owner needs a user: no user \"" +
                                                std::string(optarg) + "\" here");
    case kGroup:
        accessGiven = true;
        c.relay.access.group = groupId(optarg);
        return c.relay.access.group || badValue("option --group needs a group: no group \"" +
                                                std::string(optarg) + "\" here");
    case kMode: {
        accessGiven = true;
        char *end = nullptr;
        const unsigned long mode = std::strtoul(optarg, &end, 8);
        if (!*optarg || *end || mode > numberRule(kMode)->max)
            return badValue(needsValue(kMode));
        c.relay.access.mode = static_cast<mode_t>(mode);
        return true;
    }
    default: return takeLine(id, argv);
    }
}

// The far end's options on its line; an option none takes is bad input.
bool Parser::takeLine(int id, char **argv)
{
    double v = 0;
    lineGiven = true;
    switch (id) {
    case kLatency: return number(kLatency, c.simulated.latencyMs);
    case kPaced: c.simulated.paced = true; return true;
    case kDrop: return number(kDrop, c.simulated.dropPercent);
    case kCorrupt: return number(kCorrupt, c.simulated.corruptPercent);
    case kSilent: c.simulated.silent = true; return true;
    case kWrongBaud:
        if (!number(kWrongBaud, v))
            return false;
        c.simulated.wrongBaud = static_cast<long>(v);
        return v == c.simulated.wrongBaud ||
               badValue("option --wrong-baud needs a whole number of baud");
    case kFarDevice: return settings(kFarDevice, c.simulated.farDevice);
    case kServerPort: return settings(kServerPort, c.simulated.serverPort);
    case kHangupAfter:
        if (!number(kHangupAfter, v))
            return false;
        c.simulated.hangupAfter = static_cast<long long>(v);
        return true;
    case kSeed:
        if (!number(kSeed, v))
            return false;
        c.simulated.seed = static_cast<std::uint32_t>(v);
        return true;
    default: return badOption(id, argv);
    }
}

// The option's value as a number within its range.
bool Parser::number(int id, double &out)
{
    const NumberRule &r = *numberRule(id);
    double v;
    if (!parseNumber(optarg, r.zero ? 0 : r.min, r.max, v) || (r.zero && v > 0 && v < r.min))
        return badValue(needsValue(id));
    out = v;
    return true;
}

// RATE,FORMAT as tests/support's chain takes it: "31250,7E1".
bool Parser::settings(int id, LineSettings &out)
{
    const std::string text = optarg;
    const std::size_t comma = text.find(',');
    const NumberRule &r = *numberRule(id);
    double rate = 0;
    if (comma == std::string::npos ||
        !parseNumber(text.substr(0, comma).c_str(), r.min, r.max, rate) ||
        rate != static_cast<long>(rate) || !out.takeFormat(text.substr(comma + 1)))
        return badValue(needsValue(id));
    out.baud = static_cast<std::uint32_t>(rate);
    return true;
}

bool Parser::setMode(Config::Mode m, const char *name)
{
    if (c.mode != Config::Mode::MockedCom3)
        return conflict(c.mode == m
                            ? std::string(name) + " is given twice"
                            : "--port, --listen, --relay and --plot cannot be used together");
    c.mode = m;
    return true;
}

// An option getopt_long did not take: without its value, ambiguous, with a value it does not
// take, or unknown.
bool Parser::badOption(int id, char **argv)
{
    if (id == ':')
        return badValue(needsValue(optopt));
    const std::string typed = argv[optind - 1];
    if (typed.rfind("--", 0) != 0)   // a short option, perhaps among others after one "-"
        return unknown(format("unknown option -%c", optopt));
    if (matching(typed).size() > 1)
        return unknown("option " + typed + " is ambiguous");
    if (matching(typed).size() == 1 && typed.find('=') != std::string::npos)
        return unknown("option " + typed.substr(0, typed.find('=')) + " takes no value");
    return unknown("unknown option " + typed);
}

bool Parser::checkTogether(bool commandGiven)
{
    const char *mode = c.mode == Config::Mode::SerialDevice ? "--port"
                       : c.mode == Config::Mode::TcpServer  ? "--listen"
                       : c.mode == Config::Mode::Relay      ? "--relay"
                                                            : nullptr;
    if (mode && commandGiven)
        return conflict(std::string(mode) + " serves until interrupted and runs no command");
    const DeviceOptions &o = c.simulated;
    const bool otherLine = o.farDevice.baud || o.serverPort.baud;
    const bool lineOptions = o.latencyMs > 0 || o.paced || o.dropPercent > 0 ||
                             o.corruptPercent > 0 || o.silent || o.wrongBaud || otherLine ||
                             o.hangupAfter >= 0;
    const bool relayOptions = linkGiven || c.relay.reconnect || intervalGiven ||
                              !c.streamPath.empty() || c.relay.expectClean ||
                              c.relay.timeS > 0 || c.relay.count > 0 || accessGiven ||
                              !c.relay.metrics.empty();
    if (c.mode == Config::Mode::Plot &&
        (commandGiven || lineGiven || relayOptions || !c.reportPath.empty()))
        return conflict("--plot draws a relay's stream and takes --output only");
    if (!c.outputPath.empty() && c.mode != Config::Mode::Plot)
        return conflict("--output goes with --plot only");
    if (c.mode == Config::Mode::Relay && lineOptions)
        return conflict("--relay measures the real chain and changes nothing on it: --latency, "
                        "--paced, --drop, --corrupt, --silent, --wrong-baud, --far-device, "
                        "--server-port and --hangup-after belong to the far end");
    if (o.wrongBaud && otherLine)
        return conflict("--wrong-baud is a far end that answers as bytes: it does not go with "
                        "--far-device or --server-port");
    const char *relayOnly = c.mode == Config::Mode::Relay ? nullptr
                            : linkGiven                   ? "--link"
                            : c.relay.reconnect           ? "--reconnect"
                            : intervalGiven               ? "--interval"
                            : !c.streamPath.empty()       ? "--report-stream"
                            : c.relay.expectClean         ? "--expect-clean"
                            : c.relay.timeS > 0           ? "--time"
                            : c.relay.count > 0           ? "--count"
                            : !c.relay.metrics.empty()    ? "--metrics"
                                                          : nullptr;
    if (relayOnly)
        return conflict(std::string(relayOnly) + " goes with --relay only");
    if (accessGiven && c.mode != Config::Mode::Relay)
        return conflict("--owner, --group and --mode go with --relay only");
    if (o.silent &&
        (o.latencyMs > 0 || o.dropPercent > 0 || o.corruptPercent > 0 || o.wrongBaud || otherLine))
        return conflict("--silent never answers: --latency, --drop, --corrupt, --wrong-baud, "
                        "--far-device and --server-port have nothing to act on");
    if (!c.reportPath.empty() && !c.streamPath.empty() &&
        whereIs(c.reportPath) == whereIs(c.streamPath))
        return conflict("--report and --report-stream name the same file: " + c.streamPath);
    return true;
}

} // namespace

Result<CommandLine> parseCommandLine(int argc, char **argv)
{
    return Parser().parse(argc, argv);
}
