// A umockdev testbed whose /dev/COM3 is a pseudo-terminal (or a plain file, or absent), with
// the far end of the line in the test's hands.
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

class ComTestbed {
public:
    enum Kind { Terminal, PlainFile, NoPort };
    // The mock answers ENOTTY to every ioctl on COM3 in one round trip to this process.
    // RealIoctls runs them on the pseudo-terminal instead (exclusive mode, a hang-up's EIO), at
    // three round trips each: for tests of what the tester leaves on the line, not for timings.
    enum Ioctls { MockIoctls, RealIoctls };
    explicit ComTestbed(Kind kind = Terminal, Ioctls ioctls = MockIoctls);
    ~ComTestbed();
    ComTestbed(const ComTestbed &) = delete;
    ComTestbed &operator=(const ComTestbed &) = delete;

    QString root() const { return rootDir; }
    // The terminal /dev/COM3 leads to, as the system outside the mock sees it.
    QString devicePath() const;
    // The far end of the line: what the tester writes arrives here.
    int far() const { return farFd; }
    void send(const QByteArray &bytes);
    // Everything that arrives within `quietMs` of the last byte (or of the call).
    QByteArray receive(int quietMs = 50);
    // Closes the far end: the tester's terminal hangs up.
    void hangUp();
    // The environment that runs a program against this testbed.
    QProcessEnvironment environment() const;

private:
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *ioctlHandler = nullptr;
    QString rootDir;
    int farFd = -1;
};
