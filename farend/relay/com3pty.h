// COM3 as a COM port redirector makes it: a pseudo-terminal behind a link, whose settings the
// tester sets and whose hang-up the tester sees when the chain behind it goes.
#pragma once

#include "farend/io/fallible.h"
#include "farend/line/linesettings.h"

#include <string>

class Com3Pty : public Fallible {
public:
    explicit Com3Pty(std::string path) : path(std::move(path)) {}
    ~Com3Pty() { hangUp(); }
    Com3Pty(const Com3Pty &) = delete;
    Com3Pty &operator=(const Com3Pty &) = delete;

    // Makes the pseudo-terminal and the link to it; false with failure() saying why.
    bool make();
    // Closes the pseudo-terminal: the tester's port fails. The link goes with it.
    void hangUp();

    int fd() const { return master; }
    bool testerOpen() const { return testerHere; }
    // Whether the tester has COM3 open now (the master hangs up while no one has).
    bool checkOpen();
    // Reads what the tester wrote; `changed` is set when packet mode reported new settings.
    // Returns false when the tester has closed COM3.
    bool read(std::string &data, bool &changed);
    // Writes what the pseudo-terminal takes now; the count, or -1 when no one has it open.
    long write(const std::string &bytes);
    // What the tester set: speed, character size, parity, stop bits.
    LineSettings settings() const;

private:
    std::string path, slavePath;
    int master = -1;
    bool linked = false;
    bool packetMode = false;
    bool testerHere = false;
};
