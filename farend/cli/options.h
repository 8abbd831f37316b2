// farend's command line.
#pragma once

#include "farend/device/simulateddevice.h"
#include "farend/error/fallible.h"
#include "farend/relay/relay.h"

#include <string>
#include <vector>

struct Config {
    enum class Mode { MockedCom3, SerialDevice, TcpServer, Relay, Plot };
    Mode mode = Mode::MockedCom3;
    DeviceOptions simulated;              // the simulated far device and its line
    std::string device;                 // --port
    std::string listenAddress;          // --listen
    std::string reportPath;             // --report
    std::string streamPath;             // --report-stream ("-": standard output)
    std::string plotPath;               // --plot: the stream to draw ("-": standard input)
    std::string outputPath;             // --output: where the picture goes (standard output)
    RelayOptions relay;
    std::vector<std::string> command;   // after "--"; the tester by default
};

// What the command line asks for: a configuration to serve, relay or draw by, or the usage or
// the version.
struct CommandLine {
    bool help = false;      // --help: the usage of config.mode and nothing else
    bool version = false;   // --version: the version and nothing else
    Config config;
};

// The command line's request, or why it is bad input, in one line.
Result<CommandLine> parseCommandLine(int argc, char **argv);

// What --help prints for a mode: the far end's, the relay's or the picture's.
const char *usage(Config::Mode mode);
// What --version prints.
const char *version();
