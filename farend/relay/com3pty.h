// COM3 as a COM port redirector makes it: a pseudo-terminal behind a link, whose settings the
// tester sets and whose hang-up the tester sees when the chain behind it goes.
#pragma once

#include "farend/error/fallible.h"
#include "farend/line/linesettings.h"

#include <optional>
#include <string>

#include <sys/types.h>

// Who may open COM3. What is not given is what a serial device has: group dialout (where the
// system has it), mode 0660, and as owner the user who ran the relay through sudo.
struct Com3Access {
    std::optional<uid_t> owner;   // --owner
    std::optional<gid_t> group;   // --group
    std::optional<mode_t> mode;   // --mode
};

class Com3Pty : public Fallible {
public:
    Com3Pty(std::string path, Com3Access access) : path(std::move(path)), access(access) {}
    ~Com3Pty() { hangUp(); }
    Com3Pty(const Com3Pty &) = delete;
    Com3Pty &operator=(const Com3Pty &) = delete;

    // Whether the link may be made: nothing is there, or a link to a pseudo-terminal that is
    // gone (a relay that was killed left it; make() replaces it). False with failure() saying
    // why when something else is there.
    bool linkFree();
    // Where a link that make() replaced led; empty when it replaced none.
    const std::string &replaced() const { return stale; }
    // Makes the pseudo-terminal, gives it its owner, group and mode, and makes the link to it;
    // false with failure() saying why.
    bool make();
    // Closes the pseudo-terminal: the tester's port fails. The link goes with it.
    void hangUp();

    // "/dev/pts/3 (crw-rw---- alice dialout)": the terminal and who may open it.
    std::string describe() const;
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
    bool setAccess();
    // Fails as COM3 could not be made: "cannot WHAT: " and errno's words.
    bool failedTo(const std::string &what);

    std::string path, slavePath;
    Com3Access access;
    std::string stale;   // where a dangling link at `path` led
    int master = -1;
    bool linked = false;
    bool packetMode = false;
    bool testerHere = false;
};
