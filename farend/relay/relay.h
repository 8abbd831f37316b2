// farend --relay: COM3 as a pseudo-terminal, as a COM port redirector makes it, joined to the
// real chain (a serial device, raw TCP, or RFC 2217), measuring each echo on the way through.
#pragma once

#include "farend/io/outputfiles.h"

#include <functional>
#include <string>

// What the relay is asked to do: its options on farend's command line.
struct RelayOptions {
    std::string target;                 // --relay
    std::string linkPath = "/dev/COM3"; // --link
    double intervalS = 1;               // --interval (0: no interval lines)
    bool expectClean = false;           // --expect-clean
    bool reconnect = false;             // --reconnect
};

// Relays until `stop` says so (asked at least every 50 ms) or the target goes away for good.
// `progress` is asked as often and says when to print the summary so far. Interval lines go to
// standard output, or to standard error while the stream has standard output. Returns the exit
// status: 0 when stopped, 1 when the target went away, 2 for bad input (its line printed), 3
// with --expect-clean when a reply was lost, changed or extra.
int runRelay(const RelayOptions &options, ReportFile &report, StreamFile &stream,
             const std::function<bool()> &stop, const std::function<bool()> &progress);
