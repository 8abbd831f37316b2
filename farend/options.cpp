#include "farend/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

const char usage[] =
    "Usage: farend [OPTION]... [-- COMMAND [ARG]...]\n"
    "       farend --port DEVICE [OPTION]...\n"
    "       farend --listen [HOST:]PORT [OPTION]...\n"
    "       farend --relay TARGET [--link PATH] [--reconnect] [--report FILE]\n"
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
    "                     between bytes received to FILE, as JSON\n"
    "  --help             show this help and exit\n"
    "\n"
    "On exit farend prints one summary line on standard error: bytes received and sent, the\n"
    "time from the first byte received to the last, whether what it received was exactly the\n"
    "test cycle \"0\"...\"9\", \"A\"...\"Z\" from \"0\" (or \"nothing arrived\"), and what the\n"
    "wire saw of the tester's timing: the period between bytes received (median, p99, max)\n"
    "and how many gaps were longer than twice the median. SIGUSR1 prints the same line for\n"
    "the run so far and farend goes on.\n"
    "\n"
    "With --relay the line goes on: runs, echoes, lost, changed, extra, the round trip\n"
    "(median, p99, max) and the echoes later than 5 ms, and for RFC 2217 the server's port.\n"
    "\n"
    "Exit status: with the mocked COM3, the command's (128 + signal number if it was killed);\n"
    "with --port, --listen or --relay, 0 when stopped and 1 when the device (or the relay's\n"
    "target) failed while serving;\n"
    "2 for bad input: an unknown option or value, options that do not go together, a device\n"
    "that is missing, not a terminal or held by another program, a TCP port in use, a report\n"
    "file that cannot be written, a relay target that refuses the connection or COM Port\n"
    "Control, a link path that exists or cannot be made.\n";

[[noreturn]] void badUsage(const std::string &message)
{
    std::fprintf(stderr, "farend: %s\nTry 'farend --help'.\n", message.c_str());
    std::exit(2);
}

bool parseNumber(const char *text, double min, double max, double &out)
{
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno || end == text || *end || v < min || v > max)
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

void checkTogether(const Config &c, bool commandGiven, bool linkGiven)
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
    if (c.mode != Config::Mode::Relay && (linkGiven || c.reconnect))
        badUsage(std::string(linkGiven ? "--link" : "--reconnect") + " goes with --relay only");
    if (o.silent && (o.latencyMs > 0 || o.dropPercent > 0 || o.corruptPercent > 0 || o.wrongBaud))
        badUsage("--silent never answers: --latency, --drop, --corrupt and --wrong-baud "
                 "have nothing to act on");
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
    bool commandGiven = false;
    bool linkGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto text = [&]() -> std::string {
            if (i + 1 >= argc)
                badUsage("option " + a + " needs a value");
            return argv[++i];
        };
        auto number = [&](double min, double max) {
            double v;
            if (i + 1 >= argc || !parseNumber(argv[i + 1], min, max, v))
                badUsage("option " + a + " needs a number from " + std::to_string((long long)min) +
                         " to " + std::to_string((long long)max));
            ++i;
            return v;
        };
        auto setMode = [&](Config::Mode m) {
            if (c.mode != Config::Mode::MockedCom3)
                badUsage(c.mode == m ? a + " is given twice"
                                     : "--port, --listen and --relay cannot be used together");
            c.mode = m;
        };
        if (a == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (a == "--port") {
            setMode(Config::Mode::SerialDevice);
            c.device = text();
        } else if (a == "--listen") {
            setMode(Config::Mode::TcpServer);
            c.listenAddress = text();
        } else if (a == "--relay") {
            setMode(Config::Mode::Relay);
            c.relayTarget = text();
        } else if (a == "--link") {
            c.linkPath = text();
            linkGiven = true;
        } else if (a == "--reconnect") {
            c.reconnect = true;
        } else if (a == "--report") {
            c.reportPath = text();
        } else if (a == "--latency") {
            c.link.latencyMs = number(0, 60000);
        } else if (a == "--paced") {
            c.link.paced = true;
        } else if (a == "--drop") {
            c.link.dropPercent = number(0, 100);
        } else if (a == "--corrupt") {
            c.link.corruptPercent = number(0, 100);
        } else if (a == "--silent") {
            c.link.silent = true;
        } else if (a == "--wrong-baud") {
            const double rate = number(kMinWrongRate, kMaxWrongRate);
            if (rate != static_cast<long>(rate))
                badUsage("option --wrong-baud needs a whole number of baud");
            c.link.wrongBaud = static_cast<long>(rate);
        } else if (a == "--hangup-after") {
            c.link.hangupAfter = static_cast<long long>(number(0, 1e15));
        } else if (a == "--seed") {
            c.link.seed = static_cast<std::uint32_t>(number(0, 4294967295.0));
        } else if (a == "--") {
            commandGiven = true;
            for (++i; i < argc; ++i)
                c.command.emplace_back(argv[i]);
        } else {
            badUsage("unknown option " + a);
        }
    }
    checkTogether(c, commandGiven, linkGiven);
    if (c.mode == Config::Mode::MockedCom3 && c.command.empty())
        c.command.push_back(defaultCommand());
    return c;
}
