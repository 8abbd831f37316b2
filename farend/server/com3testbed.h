// The mocked COM3: a umockdev testbed whose /dev/COM3 is a pseudo-terminal with its far end in
// this process's hands (or a device that is no terminal, or nothing), and what a program needs
// in its environment to run against it. farend and the tests' fixtures both build on it.
#pragma once

#include "farend/error/fallible.h"

#include <string>
#include <utility>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

class Com3Testbed : public Fallible {
public:
    enum Kind { Terminal, PlainFile, NoPort };
    // The mock answers ENOTTY to every ioctl on COM3 in one round trip to this process.
    // RealIoctls runs them on the pseudo-terminal instead (exclusive mode, a hang-up's EIO), at
    // three round trips each: for tests of what the tester leaves on the line, not for timings.
    enum Ioctls { MockIoctls, RealIoctls };

    Com3Testbed() = default;
    ~Com3Testbed();
    Com3Testbed(const Com3Testbed &) = delete;
    Com3Testbed &operator=(const Com3Testbed &) = delete;

    // Makes the testbed (once); false with failure() saying why when it cannot.
    bool create(Kind kind, Ioctls ioctls);
    // The testbed's root directory.
    const std::string &root() const { return rootDir; }
    // The far end of a Terminal's line (non-blocking, not inherited by programs this process
    // starts, held by the testbed); -1 for the other kinds.
    int far() const { return farFd; }
    // Closes the far end: the terminal behind /dev/COM3 hangs up.
    void hangUp();
    // The variables a program runs against the testbed with, given the LD_PRELOAD it would
    // otherwise have (null for none).
    std::vector<std::pair<std::string, std::string>> environment(const char *preload) const;

private:
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *ioctlHandler = nullptr;
    std::string rootDir;
    int farFd = -1;
};
