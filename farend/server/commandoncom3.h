// A command farend runs against the mocked COM3 it serves: the testbed, and the command's
// process with its exit status.
#pragma once

#include "farend/error/fallible.h"
#include "farend/server/com3testbed.h"

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

class Transport;

class CommandOnCom3 : public Fallible {
public:
    // Makes the testbed; the far end of its COM3, or why not.
    Opened<Transport> create();
    // Starts `command` with /dev/COM3 mocked; false with failure() saying why when it cannot.
    bool run(const std::vector<std::string> &command);
    // Asks the command to end (once).
    void stop();
    // Whether the command has ended; then exitStatus() is its status.
    bool ended();
    int exitStatus() const;

private:
    Com3Testbed com3;
    pid_t child = -1;
    bool stopSent = false;
    bool reaped = false;
    int status = 0;
};
