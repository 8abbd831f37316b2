#include "farend/cli/options.h"

#include "farend/text/prose.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <getopt.h>
#include <unistd.h>

namespace {

const char usage[] =
    "Usage: farend [OPTION]... [-- COMMAND [ARG]...]\n"
    "       farend --port DEVICE [OPTION]...\n"
    "       farend --listen [HOST:]PORT [OPTION]...\n"
    "       farend --relay TARGET [--link PATH] [--reconnect] [--interval SECONDS]\n"
    "                     [--report FILE] [--report-stream FILE] [--expect-clean]\n"
    "Be the far end of the loop-back tester's line: a device that echoes every byte it\n"
    "receives, as the microcontroller at the end of the chain does.\n"
    "\n"
    "Where it serves:\n"
    "  (default)          run the loop-back tester (or COMMAND) against a mocked COM3: a\n"
    "                     serial terminal (umockdev) whose other end is this far end; without\n"
    "                     COMMAND, the looptest program next to farend runs, or else the\n"
    "                     installed one (" LOOPTEST_INSTALL_BINDIR "/looptest)\n"
    "  --port DEVICE      serve on a serial device, for example a second adapter joined to COM3\n"
    "                     by a null-modem cable: opened exclusively as the tester opens COM3,\n"
    "                     set to 9600 8N1, its settings given back at exit\n"
    "  --listen [HOST:]PORT\n"
    "                     serve over raw TCP as a serial device server does, one connection at\n"
    "                     a time (the next is accepted when the last closes); HOST is every\n"
    "                     interface, IPv6 and IPv4, by default; an IPv6 address goes in\n"
    "                     brackets: [::1]:10001; port 0 takes a free one. farend says where\n"
    "                     it listens\n"
    "  With --port or --listen farend runs no command and serves until interrupted (Ctrl+C,\n"
    "  SIGTERM).\n"
    "\n"
    "In front of the real chain, as the COM port redirector:\n"
    "  --relay TARGET     make COM3 as a pseudo-terminal and carry every byte between it and\n"
    "                     TARGET, measuring each echo: a serial device (/dev/ttyUSB0, opened\n"
    "                     as --port opens one), a device server over raw TCP (HOST:PORT), or\n"
    "                     over RFC 2217 (rfc2217://HOST:PORT: the server's port follows the\n"
    "                     speed and stop bits the tester sets on COM3, DTR and RTS raised)\n"
    "  --link PATH        the link to the pseudo-terminal (default /dev/COM3); it must not\n"
    "                     exist, and goes when farend ends\n"
    "  --reconnect        when TARGET goes away, COM3 hangs up as always, and farend waits for\n"
    "                     TARGET again (retried every second) instead of ending with status 1\n"
    "  --interval SECONDS print one line of figures every SECONDS (default 1; 0: none) on\n"
    "                     standard output, under a header: the span, bytes to and from the\n"
    "                     chain, echoes, lost, changed, extra, the round trip (median, p99,\n"
    "                     max) and the share later than 5 ms; a line where a run starts\n"
    "  --report-stream FILE\n"
    "                     write one JSON object a line to FILE (\"-\": standard output, and\n"
    "                     the interval lines go to standard error): a start record, one per\n"
    "                     interval, one per run, and an end record with the report's members;\n"
    "                     each is flushed as it is written\n"
    "  --expect-clean     exit with status 3 when any reply was lost, changed or extra\n"
    "  The tester closing COM3 and opening it again is a new run. A relay changes nothing on\n"
    "  the line: the options below belong to the far end and are refused with --relay.\n"
    "  How the replies are counted: a reply equal to the oldest send still waiting is its\n"
    "  echo; one equal to a later send among the next 35 waiting is that send's echo, and the\n"
    "  sends before it are lost; any other reply is a changed echo of the oldest waiting send;\n"
    "  a reply while no send waits is extra. A send with no echo after 1 s is lost (a later\n"
    "  echo is then judged as any other reply), and so is one still waiting when a new run\n"
    "  starts. The round trip is from the tester's byte reaching farend to its echo reaching\n"
    "  farend; echoes later than 5 ms miss the tester's read.\n"
    "\n"
    "How the line behaves:\n"
    "  --latency MS       delay each reply by MS milliseconds (a USB adapter's latency\n"
    "                     timer is 16 by default); fractions allowed\n"
    "  --paced            pace both directions at 9600 baud 8N1 (1.04 ms a byte each way),\n"
    "                     bytes queued behind each other as on a wire\n"
    "  --drop PERCENT     never send this share of the replies\n"
    "  --corrupt PERCENT  flip one bit in this share of the replies\n"
    "  --silent           never answer\n"
    "  --wrong-baud RATE  answer what a UART at RATE baud makes of the tester's 9600-baud\n"
    "                     bytes: zero, one or several bytes of garbage for each byte sent, as\n"
    "                     from a device server set to the wrong baud rate. At 19200 and above\n"
    "                     the garbage never holds a \"Z\": the tester's log never breaks a line\n"
    "  --hangup-after N   cut the line 20 ms after answering the Nth byte received: the mocked\n"
    "                     COM3 hangs up; a TCP connection is closed (the next one is a new\n"
    "                     line); a serial device drops DTR and RTS and answers no more\n"
    "  --seed N           seed for choosing dropped and corrupted replies (default 1)\n"
    "\n"
    "  --report FILE      also write the summary's figures and the histogram of the gaps\n"
    "                     between bytes received to FILE, as JSON (with --relay, the relay's\n"
    "                     own figures and round-trip histogram, \"format\": 2)\n"
    "  --help             show this help and exit\n"
    "\n"
    "On exit farend prints a short summary on standard error: bytes received and sent, the\n"
    "time from the first byte received to the last, whether what it received was exactly the\n"
    "test cycle \"0\"...\"9\", \"A\"...\"Z\" from \"0\" (or \"nothing arrived\"), and below\n"
    "it what the wire saw of the tester's timing: the period between bytes received (p50,\n"
    "p90, p99, p99.9, max), the gaps longer than twice the median and a histogram. SIGUSR1\n"
    "prints the same for the run so far and farend goes on.\n"
    "\n"
    "With --relay the summary gives runs, sends, echoes, lost, changed, extra and late, the\n"
    "round trip as p50, p90, p99, p99.9 and max with a histogram, the tester's timing, the\n"
    "bytes each way, for RFC 2217 the server's port and what it did not acknowledge, and\n"
    "whether the chain was clean.\n"
    "\n"
    "Exit status: with the mocked COM3, the command's (128 + signal number if it was killed);\n"
    "with --port, --listen or --relay, 0 when stopped and 1 when the device (or the relay's\n"
    "target) failed while serving; 3 with --relay --expect-clean when the relay was stopped\n"
    "and a reply was lost, changed or extra;\n"
    "2 for bad input: an unknown option or value, options that do not go together, a device\n"
    "that is missing, not a terminal or held by another program, a TCP port in use, a report\n"
    "file that cannot be written (or --report and --report-stream naming one file), a relay\n"
    "target that refuses the connection or COM Port Control, a link path that exists or\n"
    "cannot be made.\n";

[[noreturn]] void badUsage(const std::string &message)
{
    std::fprintf(stderr, "farend: %s\nTry 'farend --help'.\n", message.c_str());
    std::exit(2);
}

bool parseNumber(const char *text, double min, double max, double &out)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno || end == text || *end || !(v >= min && v <= max))   // NaN fails too
        return false;
    out = v;
    return true;
}

// The tester next to farend (the build tree, or the same bindir), else the installed one.
std::string defaultCommand()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::string path(self);
        path = path.substr(0, path.rfind('/') + 1) + "looptest";
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return LOOPTEST_INSTALL_BINDIR "/looptest";
}

void checkTogether(const Config &c, bool commandGiven, bool linkGiven, bool intervalGiven)
{
    const char *mode = c.mode == Config::Mode::SerialDevice ? "--port"
                       : c.mode == Config::Mode::TcpServer  ? "--listen"
                       : c.mode == Config::Mode::Relay      ? "--relay"
                                                            : nullptr;
    if (mode && commandGiven)
        badUsage(std::string(mode) + " serves until interrupted and runs no command");
    const LinkOptions &o = c.link;
    if (c.mode == Config::Mode::Relay &&
        (o.latencyMs > 0 || o.paced || o.dropPercent > 0 || o.corruptPercent > 0 || o.silent ||
         o.wrongBaud || o.hangupAfter >= 0))
        badUsage("--relay measures the real chain and changes nothing on it: --latency, --paced, "
                 "--drop, --corrupt, --silent, --wrong-baud and --hangup-after belong to the far "
                 "end");
    if (c.mode != Config::Mode::Relay) {
        const char *relayOnly = linkGiven          ? "--link"
                                : c.relay.reconnect      ? "--reconnect"
                                : intervalGiven    ? "--interval"
                                : !c.streamPath.empty() ? "--report-stream"
                                : c.relay.expectClean    ? "--expect-clean"
                                                   : nullptr;
        if (relayOnly)
            badUsage(std::string(relayOnly) + " goes with --relay only");
    }
    if (o.silent && (o.latencyMs > 0 || o.dropPercent > 0 || o.corruptPercent > 0 || o.wrongBaud))
        badUsage("--silent never answers: --latency, --drop, --corrupt and --wrong-baud "
                 "have nothing to act on");
}

// Where `path` would be: its directory resolved, so that two spellings of one file compare
// equal whether or not it exists yet.
std::string whereIs(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char resolved[PATH_MAX];
    if (!realpath(dir.c_str(), resolved))
        return path;
    return std::string(resolved) + "/" + name;
}

enum Option {
    kHelp = 256, kPort, kListen, kRelay, kLink, kReconnect, kReport, kReportStream, kInterval,
    kExpectClean, kLatency, kPaced, kDrop, kCorrupt, kSilent, kWrongBaud, kHangupAfter, kSeed
};

const option longOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"port", required_argument, nullptr, kPort},
    {"listen", required_argument, nullptr, kListen},
    {"relay", required_argument, nullptr, kRelay},
    {"link", required_argument, nullptr, kLink},
    {"reconnect", no_argument, nullptr, kReconnect},
    {"report", required_argument, nullptr, kReport},
    {"report-stream", required_argument, nullptr, kReportStream},
    {"interval", required_argument, nullptr, kInterval},
    {"expect-clean", no_argument, nullptr, kExpectClean},
    {"latency", required_argument, nullptr, kLatency},
    {"paced", no_argument, nullptr, kPaced},
    {"drop", required_argument, nullptr, kDrop},
    {"corrupt", required_argument, nullptr, kCorrupt},
    {"silent", no_argument, nullptr, kSilent},
    {"wrong-baud", required_argument, nullptr, kWrongBaud},
    {"hangup-after", required_argument, nullptr, kHangupAfter},
    {"seed", required_argument, nullptr, kSeed},
    {nullptr, 0, nullptr, 0},
};

// The long options `typed` can stand for ("--rep" for --report and --report-stream).
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

// A number an option takes: its range, and the message that says it, made from the range.
struct NumberRule {
    int id;
    double min, max;
    const char *what = "a number";   // what the number counts
    const char *zero = nullptr;      // what 0 means where it is taken below `min`
};

const NumberRule numberRules[] = {
    {kLatency, 0, 60000},
    {kDrop, 0, 100},
    {kCorrupt, 0, 100},
    {kInterval, 0.1, 86400, "seconds", "0 (no lines)"},
    {kWrongBaud, kMinWrongRate, kMaxWrongRate},
    {kHangupAfter, 0, 1e15},
    {kSeed, 0, 4294967295.0},
};

const NumberRule *numberRule(int id)
{
    for (const NumberRule &r : numberRules)
        if (r.id == id)
            return &r;
    return nullptr;
}

// "0.1", "86400", "1000000000000000".
std::string bound(double v)
{
    return format(v == static_cast<long long>(v) ? "%.0f" : "%g", v);
}

// The message for an option given without its value, or with one out of its range.
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
    return lead + (r->zero ? std::string(r->zero) + " or " : "") + r->what + " from " +
           bound(r->min) + " to " + bound(r->max);
}

} // namespace

int refuse(const std::string &why)
{
    std::fprintf(stderr, "farend: %s\n", why.c_str());
    return 2;
}

Config parseCommandLine(int argc, char **argv)
{
    Config c;
    bool linkGiven = false, intervalGiven = false;
    auto number = [](int id) {
        const NumberRule &r = *numberRule(id);
        double v;
        if (!parseNumber(optarg, r.zero ? 0 : r.min, r.max, v) || (r.zero && v > 0 && v < r.min))
            badUsage(needsValue(id));
        return v;
    };
    auto setMode = [&](Config::Mode m, const char *name) {
        if (c.mode != Config::Mode::MockedCom3)
            badUsage(c.mode == m ? std::string(name) + " is given twice"
                                 : "--port, --listen and --relay cannot be used together");
        c.mode = m;
    };
    opterr = 0;   // every message is farend's own, one line
    optind = 1;
    int id;
    // "+": the first word that is no option ends them, as "--" does
    while ((id = getopt_long(argc, argv, "+:", longOptions, nullptr)) != -1) {
        switch (id) {
        case kHelp:
            std::fputs(usage, stdout);
            std::exit(0);
        case kPort:
            setMode(Config::Mode::SerialDevice, "--port");
            c.device = optarg;
            break;
        case kListen:
            setMode(Config::Mode::TcpServer, "--listen");
            c.listenAddress = optarg;
            break;
        case kRelay:
            setMode(Config::Mode::Relay, "--relay");
            c.relay.target = optarg;
            break;
        case kLink:
            c.relay.linkPath = optarg;
            linkGiven = true;
            break;
        case kReconnect: c.relay.reconnect = true; break;
        case kReport: c.reportPath = optarg; break;
        case kReportStream:
            c.streamPath = optarg;
            if (c.streamPath.empty())
                badUsage(needsValue(kReportStream));
            break;
        case kInterval:
            c.relay.intervalS = number(kInterval);
            intervalGiven = true;
            break;
        case kExpectClean: c.relay.expectClean = true; break;
        case kLatency: c.link.latencyMs = number(kLatency); break;
        case kPaced: c.link.paced = true; break;
        case kDrop: c.link.dropPercent = number(kDrop); break;
        case kCorrupt: c.link.corruptPercent = number(kCorrupt); break;
        case kSilent: c.link.silent = true; break;
        case kWrongBaud: {
            const double rate = number(kWrongBaud);
            if (rate != static_cast<long>(rate))
                badUsage("option --wrong-baud needs a whole number of baud");
            c.link.wrongBaud = static_cast<long>(rate);
            break;
        }
        case kHangupAfter:
            c.link.hangupAfter = static_cast<long long>(number(kHangupAfter));
            break;
        case kSeed: c.link.seed = static_cast<std::uint32_t>(number(kSeed)); break;
        case ':': {
            const auto found = matching(argv[optind - 1]);
            badUsage(found.size() == 1 ? needsValue(found[0]->val)
                                       : "option " + std::string(argv[optind - 1]) +
                                             " needs a value");
        }
        default: {
            const std::string typed = argv[optind - 1];
            if (typed.rfind("--", 0) == 0 && matching(typed).size() > 1)
                badUsage("option " + typed + " is ambiguous");
            if (typed.rfind("--", 0) == 0 && matching(typed).size() == 1 &&
                typed.find('=') != std::string::npos)
                badUsage("option " + typed.substr(0, typed.find('=')) + " takes no value");
            badUsage("unknown option " + typed);
        }
        }
    }
    const bool commandGiven = optind > 1 && std::strcmp(argv[optind - 1], "--") == 0;
    if (!commandGiven && optind < argc)
        badUsage("unknown option " + std::string(argv[optind]));
    for (int i = optind; i < argc; ++i)
        c.command.emplace_back(argv[i]);
    checkTogether(c, commandGiven, linkGiven, intervalGiven);
    if (!c.reportPath.empty() && !c.streamPath.empty() &&
        whereIs(c.reportPath) == whereIs(c.streamPath))
        badUsage("--report and --report-stream name the same file: " + c.streamPath);
    if (c.mode == Config::Mode::MockedCom3 && c.command.empty())
        c.command.push_back(defaultCommand());
    return c;
}
