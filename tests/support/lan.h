// A LAN with delay and loss for a test: the delay line (tests/support/delayline.cpp) started with
// the test's options, its two network namespaces, a way to run a peer in either, and sockets
// made in either by the test itself. Needs root; `skipReason` says why not otherwise.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

class Lan {
public:
    // `options` as delayline takes them, e.g. {"--delay", "10", "--loss", "5"}
    Lan(const QString &delayline, const QStringList &options)
    {
        if (geteuid() != 0) {
            skipReason = "needs root: network namespaces and TUN devices";
            return;
        }
        line.start(delayline, options);
        started = true;
        while (line.waitForReadyRead(10000)) {
            while (line.canReadLine()) {
                const QStringList f = QString::fromUtf8(line.readLine()).trimmed().split(' ');
                if (f.size() == 3 && f[0] == "near") {
                    nearNs = f[1];
                    nearIp = f[2];
                } else if (f.size() == 3 && f[0] == "far") {
                    farNs = f[1];
                    farIp = f[2];
                } else if (f == QStringList{"ready"}) {
                    return;
                }
            }
        }
        skipReason = "the delay line did not start: " + QString::fromUtf8(line.readAllStandardError());
    }
    Lan(const Lan &) = delete;
    Lan &operator=(const Lan &) = delete;
    ~Lan() { counts(); }

    bool up() const { return skipReason.isEmpty(); }

    // Arguments for QProcess::start("nsenter", ...) running `program` in namespace `ns`.
    static QStringList in(const QString &ns, const QString &program, const QStringList &args)
    {
        return QStringList{"--net=" + ns, "--", program} + args;
    }

    // A socket made in namespace `ns`, where it stays for its life; -1 on failure.
    static int socketIn(const QString &ns, int domain, int type)
    {
        const int here = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int there = open(ns.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        int s = -1;
        if (here >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0) {
            s = socket(domain, type | SOCK_CLOEXEC, 0);
            setns(here, CLONE_NEWNET);
        }
        for (int fd : {here, there})
            if (fd >= 0)
                close(fd);
        return s;
    }

    // Stops the line (peers still in its namespaces keep them) and returns its counts.
    QString counts()
    {
        if (!started)
            return {};
        if (line.state() != QProcess::NotRunning) {
            line.terminate();
            line.waitForFinished(5000);
        }
        finalCounts += QString::fromUtf8(line.readAllStandardError());
        return finalCounts;
    }

    QString skipReason, nearNs, farNs, nearIp, farIp;

private:
    QProcess line;
    bool started = false;
    QString finalCounts;
};
