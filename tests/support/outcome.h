// How a program the test ran ended: what it printed and its exit.
#pragma once

#include <QByteArray>
#include <QProcess>

struct Outcome {
    QByteArray out, err;
    int status = -1;
    bool exitedNormally = false;
};

// Waits up to `timeoutMs` for `p` to end (then kills it) and collects what it printed.
inline Outcome finish(QProcess &p, int timeoutMs)
{
    Outcome o;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    o.status = p.exitCode();
    o.exitedNormally = p.exitStatus() == QProcess::NormalExit;
    return o;
}
