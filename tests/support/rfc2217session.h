// A test's RFC 2217 session over loopback: a device server started by the test (the scripted
// one of tests/support/rfc2217_server.py, or ser2net), an Rfc2217Client on a socket to it, and a
// loop that carries bytes both ways until a condition holds.
#pragma once

#include "farend/rfc2217/rfc2217.h"

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class Rfc2217Session {
public:
    Rfc2217Session() = default;
    Rfc2217Session(const Rfc2217Session &) = delete;
    Rfc2217Session &operator=(const Rfc2217Session &) = delete;
    ~Rfc2217Session()
    {
        if (sock >= 0)
            close(sock);
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            server.waitForFinished(5000);
        }
    }

    // Starts the scripted server with `scenario` and connects to it; sends the greeting.
    bool startScripted(const QString &script, const QString &scenario)
    {
        server.setStandardErrorFile(dir.filePath("requests.log"));
        server.start("python3", {script, scenario});
        if (!server.waitForStarted(10000) || !server.waitForReadyRead(10000))
            return false;
        return connectTo(static_cast<quint16>(server.readLine().trimmed().toUInt()));
    }

    bool connectTo(quint16 port)
    {
        sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (port == 0 || ::connect(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
        client.queueControl(client.greeting());
        return true;
    }

    static double nowMs()
    {
        using namespace std::chrono;
        return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
    }

    // Carries bytes until `done` holds, the client fails, the server closes, or `limitMs` passed
    // (a guard against a hang, not a measurement). True when `done` held.
    bool runUntil(const std::function<bool()> &done, double limitMs = 20000)
    {
        const double end = nowMs() + limitMs;
        char buf[65536];
        while (!done()) {
            if (client.failed() || closed || nowMs() > end)
                return false;
            pollfd p{sock, POLLIN, 0};
            if (!client.outgoing().empty())
                p.events |= POLLOUT;
            if (poll(&p, 1, 10) <= 0)
                continue;
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = read(sock, buf, sizeof buf);
                if (n > 0)
                    client.take(buf, static_cast<std::size_t>(n), nowMs(), data);
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    closed = true;
            }
            if (p.revents & POLLOUT) {
                const std::string_view out = client.outgoing();
                const ssize_t n = write(sock, out.data(), out.size());
                if (n > 0)
                    client.wrote(static_cast<std::size_t>(n));
            }
        }
        return true;
    }

    // Every request the server logged on its standard error so far.
    QString serverLog() const
    {
        QFile f(dir.filePath("requests.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
    }

    QTemporaryDir dir;
    QProcess server;
    int sock = -1;
    bool closed = false;
    Rfc2217Client client;
    std::string data;   // what the server sent as data
};
