// farend --relay: COM3 as a pseudo-terminal, as a COM port redirector makes it, joined to the
// real chain (a serial device, raw TCP, or RFC 2217), measuring each echo on the way through.
#pragma once

#include "farend/error/fallible.h"
#include "farend/figures/relayfigures.h"
#include "farend/files/outputfiles.h"
#include "farend/relay/com3pty.h"

#include <functional>
#include <string>

// What the relay is asked to do: its options on farend's command line.
struct RelayOptions {
    std::string target;                 // --relay
    std::string linkPath = "/dev/COM3"; // --link
    double intervalS = 1;               // --interval (0: no interval lines)
    bool expectClean = false;           // --expect-clean
    bool reconnect = false;             // --reconnect
    double timeS = 0;                   // --time: end after this many seconds (0: never)
    long long count = 0;                // --count: end once this many sends are decided
    Com3Access access;                  // --owner, --group, --mode
    std::string metrics;                // --metrics: where Prometheus scrapes (empty: nowhere)
};

// What signals ask of a running relay; each is asked at least every 50 ms.
struct RelayAsks {
    std::function<bool()> stop;      // end as stopped
    std::function<bool()> summary;   // print the summary so far
    std::function<bool()> tally;     // print the one-line tally
};

// The relay, made and ready: COM3 at its link, the target open.
class Relay {
public:
    // Makes the relay, or says why not: the link exists already, the target cannot be reached
    // or refuses, COM3 cannot be made. `stream` gets the records from the start on.
    static Opened<Relay> open(const RelayOptions &options, StreamFile &stream);
    virtual ~Relay() = default;

    // Relays until asked to stop, until --time or --count is reached, or until the target goes
    // away for good; says how it ended. Interval lines go to standard output, or to standard
    // error while the stream has standard output; the summary and the tally to standard error,
    // the document to `report`. The summary's last line gives the exit status `statusOf` (main's
    // choice) makes of how the run ended.
    virtual RunEnd run(ReportFile &report, const RelayAsks &asks,
                       const std::function<int(const RunEnd &)> &statusOf) = 0;
};
