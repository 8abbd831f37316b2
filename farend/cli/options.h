// farend's command line.
#pragma once

#include "farend/device/link.h"
#include "farend/relay/relay.h"

#include <string>
#include <vector>

struct Config {
    enum class Mode { MockedCom3, SerialDevice, TcpServer, Relay };
    Mode mode = Mode::MockedCom3;
    LinkOptions link;
    std::string device;                 // --port
    std::string listenAddress;          // --listen
    std::string reportPath;             // --report
    std::string streamPath;             // --report-stream ("-": standard output)
    RelayOptions relay;
    std::vector<std::string> command;   // after "--"; the tester by default
};

// The configuration the command line asks for. --help prints the usage and exits with status
// 0; bad input prints why and exits with status 2.
Config parseCommandLine(int argc, char **argv);

// Prints "farend: <why>" on standard error; returns the status for bad input, 2.
int refuse(const std::string &why);
