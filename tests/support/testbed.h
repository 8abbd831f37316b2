// The mocked COM3 for tests, in Qt's terms: the far end's bytes as QByteArray and the
// environment of a program run against it as a QProcessEnvironment.
#pragma once

#include "farend/server/com3testbed.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

class ComTestbed : public Com3Testbed {
public:
    explicit ComTestbed(Kind kind = Terminal, Ioctls ioctls = MockIoctls);

    // The terminal /dev/COM3 leads to, as the system outside the mock sees it.
    QString devicePath() const;
    // Writes to the far end: the tester reads it.
    void send(const QByteArray &bytes);
    // Everything that arrives at the far end within `quietMs` of the last byte (or of the call).
    QByteArray receive(int quietMs = 50);
    // The environment that runs a program against this testbed.
    QProcessEnvironment environment() const;
};
