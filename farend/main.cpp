// farend: the far end of the tester's line, on a mocked COM3 (running the tester), on a real
// serial device, or as a TCP device server; the relay in front of a real chain; or the picture
// of a relay's run. Only here is anything refused aloud and an exit status chosen.
#include "farend/cli/options.h"
#include "farend/device/simulateddevice.h"
#include "farend/figures/relayfigures.h"
#include "farend/files/outputfiles.h"
#include "farend/io/transport.h"
#include "farend/line/tester.h"
#include "farend/plot/plot.h"
#include "farend/relay/relay.h"
#include "farend/report/farend.h"
#include "farend/server/commandoncom3.h"
#include "farend/server/serve.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The exit statuses beside 0: the line or the relay's target went away (1), bad input (2), and
// with --expect-clean a relay's chain that was not clean (3) or a run that tested nothing (4).
constexpr int kStatusLineGone = 1;
constexpr int kStatusBadInput = 2;
constexpr int kStatusNotClean = 3;
constexpr int kStatusNothingTested = 4;

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t progressRequested = 0;
volatile sig_atomic_t tallyRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

void onProgressSignal(int)
{
    progressRequested = 1;
}

void onTallySignal(int)
{
    tallyRequested = 1;
}

// SIGINT, SIGTERM and SIGHUP (the terminal closed) stop farend; SIGUSR1 asks for the summary so
// far, as dd does. The relay also stops on SIGPIPE (its lines' reader went away), so that its
// link goes and its report is written, and SIGQUIT asks it for a one-line tally, as ping does.
void catchSignals(bool relay)
{
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    if (relay)
        sigaction(SIGPIPE, &sa, nullptr);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = onProgressSignal;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = onTallySignal;
    if (relay)
        sigaction(SIGQUIT, &sa, nullptr);
}

// Says why farend will not start; the status for bad input.
int refuse(const std::string &why)
{
    std::fprintf(stderr, "farend: %s\n", why.c_str());
    return kStatusBadInput;
}

// Whether a signal set `flag` since the last look.
bool wasSet(volatile sig_atomic_t &flag)
{
    const bool set = flag != 0;
    flag = 0;
    return set;
}

bool progressAsked()
{
    return wasSet(progressRequested);
}

// The one place a relay's run becomes an exit status: 1 when its target went away (or COM3
// could not be made again); else 0, or with --expect-clean 3 when the chain was not clean and 4
// when nothing was tested.
int relayStatus(const RunEnd &end, bool expectClean)
{
    switch (end.by) {
    case EndedBy::TargetClosed:
    case EndedBy::TargetFailed:
    case EndedBy::Com3Failed:
        return kStatusLineGone;
    case EndedBy::Interrupted:
    case EndedBy::TimeLimit:
    case EndedBy::CountReached:
        break;
    }
    if (!expectClean || end.outcome == Outcome::Clean)
        return 0;
    return end.outcome == Outcome::NotClean ? kStatusNotClean : kStatusNothingTested;
}

// The relay, until stopped, at its --time or --count, or until its target went away.
int relay(const Config &config, ReportFile &report)
{
    StreamFile stream(config.streamPath);
    if (stream.failed()) {
        report.discard();   // nothing is left half-made when farend refuses to start
        return refuse(stream.failure());
    }
    prctl(PR_SET_TIMERSLACK, 1UL);   // round trips are measured in microseconds
    catchSignals(true);
    Opened<Relay> relay = Relay::open(config.relay, stream);
    if (!relay) {
        report.discard();
        stream.discard();
        return refuse(relay.error.text);
    }
    const RelayAsks asks{[] { return stopRequested != 0; }, progressAsked,
                         [] { return wasSet(tallyRequested); }};
    const auto statusOf = [&](const RunEnd &end) {
        return relayStatus(end, config.relay.expectClean);
    };
    const RunEnd end = relay.value->run(report, asks, statusOf);
    if (report.failed())
        std::fprintf(stderr, "farend: %s\n", report.failure().c_str());
    return statusOf(end);
}

// The line the configuration names, ready to serve, or why not.
Opened<Transport> openLine(const Config &config, CommandOnCom3 &mocked)
{
    switch (config.mode) {
    case Config::Mode::MockedCom3:
        return mocked.create();
    case Config::Mode::SerialDevice: {
        auto line = openSerialTransport(config.device);
        if (line)
            std::fprintf(stderr, "farend: serving on %s\n", config.device.c_str());
        return line;
    }
    case Config::Mode::Relay:
    case Config::Mode::Plot:
        break;
    case Config::Mode::TcpServer: {
        std::string bound;
        auto line = listenTcpTransport(config.listenAddress, bound);
        if (line)
            std::fprintf(stderr, "farend: listening on %s\n", bound.c_str());
        return line;
    }
    }
    return Opened<Transport>::failed(Errc::Conflict, "no line to serve");
}

// The far end on its line until stopped, or until the command run against the mocked COM3
// ends: 0, 1 when the line failed, or the command's status.
int farEnd(const Config &config, ReportFile &report)
{
    CommandOnCom3 mocked;
    Opened<Transport> line = openLine(config, mocked);
    if (!line) {
        report.discard();
        return refuse(line.error.text);
    }
    prctl(PR_SET_TIMERSLACK, 1UL);   // pacing works in microseconds
    catchSignals(false);
    const bool runsCommand = config.mode == Config::Mode::MockedCom3;
    if (runsCommand && !mocked.run(config.command)) {
        report.discard();
        return refuse(mocked.failure());
    }
    // with a command, serve until it ends (a stop request is passed on to it); otherwise until
    // stopped
    SimulatedDevice device(config.simulated);
    auto stop = [&] {
        if (progressAsked())
            std::fprintf(stderr, "%s\n", farEndSummary(device.figures()).c_str());
        if (!runsCommand)
            return stopRequested != 0;
        if (stopRequested)
            mocked.stop();
        return mocked.ended();
    };
    const bool lineHeld = serve(*line.value, device, stop);
    const std::string failure = line.value->failure();
    line.value.reset();   // a serial device gets its settings back now

    if (!lineHeld)
        std::fprintf(stderr, "farend: %s\n", failure.c_str());
    std::fprintf(stderr, "%s\n", farEndSummary(device.figures()).c_str());
    if (!report.write(farEndReportJson(device.figures()).dump(2) + "\n"))
        std::fprintf(stderr, "farend: %s\n", report.failure().c_str());
    if (runsCommand)
        return mocked.exitStatus();
    return lineHeld ? 0 : kStatusLineGone;
}

// Draws a relay's stream as its picture: 0, or 2 with one line when the stream cannot be read
// or holds nothing to draw, or the picture cannot be written.
int plotStream(const Config &config)
{
    const bool fromStdin = config.plotPath == "-";
    const std::string name = fromStdin ? "standard input" : config.plotPath;
    std::ifstream file;
    struct stat st;
    if (!fromStdin && stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return refuse(name + ": " + std::strerror(EISDIR));
    if (!fromStdin) {
        file.open(name, std::ios::binary);
        if (!file)
            return refuse(name + ": " + std::strerror(errno));
    }
    const plot::PlotResult r =
        plot::plotRun(fromStdin ? std::cin : file, plot::PlotOptions(kReadWindowMs));
    if (r.error)
        return refuse(name + ": " + r.error.text);
    if (r.unreadLines)   // a relay killed mid-line leaves its last record cut short
        std::fprintf(stderr, "farend: %s: %d %s not a record: left out\n", name.c_str(),
                     r.unreadLines, r.unreadLines == 1 ? "line was" : "lines were");
    if (config.outputPath.empty()) {
        std::cout << r.svg << std::flush;
        return std::cout ? 0 : refuse("standard output: " + std::string(std::strerror(errno)));
    }
    std::ofstream out(config.outputPath, std::ios::binary | std::ios::trunc);
    if (!out)
        return refuse(config.outputPath + ": " + std::strerror(errno));
    if (out << r.svg && out.flush())
        return 0;
    const std::string why = std::strerror(errno);
    unlink(config.outputPath.c_str());   // no picture cut short
    return refuse(config.outputPath + ": " + why);
}

} // namespace

int main(int argc, char **argv)
{
    const Result<CommandLine> asked = parseCommandLine(argc, argv);
    if (!asked) {
        std::fprintf(stderr, "farend: %s\nTry 'farend --help'.\n", asked.error.text.c_str());
        return kStatusBadInput;
    }
    if (asked.value.help || asked.value.version) {
        std::fputs(asked.value.help ? usage(asked.value.config.mode) : version(), stdout);
        return 0;
    }
    const Config &config = asked.value.config;
    if (config.mode == Config::Mode::Plot)
        return plotStream(config);
    ReportFile report(config.reportPath);
    if (report.failed())
        return refuse(report.failure());
    return config.mode == Config::Mode::Relay ? relay(config, report) : farEnd(config, report);
}
