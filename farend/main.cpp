// farend: the far end of the tester's line, on a mocked COM3 (running the tester), on a real
// serial device, or as a TCP device server.
#include "farend/device/link.h"
#include "farend/server/commandoncom3.h"
#include "farend/cli/options.h"
#include "farend/relay/relay.h"
#include "farend/report/farend.h"
#include "farend/io/outputfiles.h"
#include "farend/server/serve.h"
#include "farend/io/transport.h"

#include <csignal>
#include <cstdio>

#include <sys/prctl.h>

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t progressRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

void onProgressSignal(int)
{
    progressRequested = 1;
}

// SIGINT and SIGTERM stop farend; SIGUSR1 asks for the summary so far, as dd does.
void catchSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onProgressSignal;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
}

// The line the configuration names, ready to serve, or why not.
Opened<Transport> openLine(const Config &config, CommandOnCom3 &mocked)
{
    switch (config.mode) {
    case Config::Mode::MockedCom3: {
        std::string error;
        auto line = mocked.create(error);
        return {std::move(line), error};
    }
    case Config::Mode::SerialDevice: {
        auto line = openSerialTransport(config.device);
        if (line.value)
            std::fprintf(stderr, "farend: serving on %s\n", config.device.c_str());
        return line;
    }
    case Config::Mode::Relay:
        break;
    case Config::Mode::TcpServer: {
        std::string bound;
        auto line = listenTcpTransport(config.listenAddress, bound);
        if (line.value)
            std::fprintf(stderr, "farend: listening on %s\n", bound.c_str());
        return line;
    }
    }
    return Opened<Transport>::failed("no line to serve");
}

} // namespace

int main(int argc, char **argv)
{
    const Config config = parseCommandLine(argc, argv);
    ReportFile report(config.reportPath);
    if (!report.ok())
        return refuse(report.error());

    if (config.mode == Config::Mode::Relay) {
        StreamFile stream(config.streamPath);
        if (!stream.ok()) {
            report.discard();   // nothing is left half-made when farend refuses to start
            return refuse(stream.error());
        }
        prctl(PR_SET_TIMERSLACK, 1UL);   // round trips are measured in microseconds
        catchSignals();
        auto progress = [] {
            const bool asked = progressRequested != 0;
            progressRequested = 0;
            return asked;
        };
        return runRelay(config.relay, report, stream, [] { return stopRequested != 0; }, progress);
    }

    CommandOnCom3 mocked;
    std::string error;
    Opened<Transport> opened = openLine(config, mocked);
    std::unique_ptr<Transport> line = std::move(opened.value);
    if (!line) {
        report.discard();
        return refuse(opened.error);
    }

    prctl(PR_SET_TIMERSLACK, 1UL);   // pacing works in microseconds
    catchSignals();
    const bool runsCommand = config.mode == Config::Mode::MockedCom3;
    if (runsCommand && !mocked.run(config.command, error)) {
        report.discard();
        return refuse(error);
    }

    // with a command, serve until it ends (a stop request is passed on to it); otherwise until
    // stopped
    Link link(config.link);
    auto stop = [&] {
        if (progressRequested) {
            progressRequested = 0;
            std::fprintf(stderr, "%s\n", farEndSummary(link).c_str());
        }
        if (!runsCommand)
            return stopRequested != 0;
        if (stopRequested)
            mocked.stop();
        return mocked.ended();
    };
    const bool lineHeld = serve(*line, link, stop);
    const std::string failure = line->failure();
    line.reset();   // a serial device gets its settings back now

    if (!lineHeld)
        std::fprintf(stderr, "farend: %s\n", failure.c_str());
    std::fprintf(stderr, "%s\n", farEndSummary(link).c_str());
    if (!report.write(farEndReportJson(link).dump(2) + "\n"))
        std::fprintf(stderr, "farend: %s\n", report.error().c_str());
    if (runsCommand)
        return mocked.exitStatus();
    return lineHeld ? 0 : 1;
}
