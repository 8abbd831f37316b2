#include "farend/targets.h"

#include "farend/address.h"
#include "farend/transport.h"
#include "serial/clock.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr double kNegotiationTimeoutMs = 3000;

class SerialTarget : public Target {
public:
    explicit SerialTarget(std::unique_ptr<Transport> line) : line(std::move(line)) {}
    bool read(std::string &data) override
    {
        return line->wait(0, data) != Transport::Event::Failed || fail(line->failure());
    }
    bool write(const std::string &data) override
    {
        queued += data;
        const long n = queued.empty() ? 0 : line->send(queued);
        if (n < 0)
            return fail(line->failure());
        queued.erase(0, static_cast<std::size_t>(n));
        return true;
    }
    bool hasQueued() const override { return !queued.empty(); }
    void describe(ChainFacts &facts) const override { facts.kind = "serial device"; }

private:
    std::unique_ptr<Transport> line;   // gives the device its settings back when it goes
    std::string queued;
};

class TcpTarget : public Target {
public:
    TcpTarget(std::unique_ptr<Socket> socket, std::string address)
        : socket(std::move(socket)), address(std::move(address))
    {
    }
    int fd() const override { return socket->fd(); }
    bool read(std::string &data) override
    {
        const Drained d = drain(socket->fd(), [&](const char *bytes, std::size_t n) {
            received(bytes, n, data);
        });
        if (d == Drained::Open)
            return true;
        return fail(d == Drained::EndOfFile ? address + " closed the connection"
                                            : address + ": " + std::strerror(errno));
    }
    bool write(const std::string &data) override
    {
        queued += encode(data);
        while (!queued.empty()) {
            const ssize_t n = ::send(socket->fd(), queued.data(), queued.size(), MSG_NOSIGNAL);
            if (n > 0) {
                queued.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return true;
            return fail(address + ": " + std::strerror(errno));
        }
        return true;
    }
    bool hasQueued() const override { return !queued.empty(); }
    void describe(ChainFacts &facts) const override { facts.kind = "raw TCP"; }

protected:
    virtual void received(const char *bytes, std::size_t n, std::string &data)
    {
        data.append(bytes, n);
    }
    virtual std::string encode(const std::string &data) { return data; }
    // Sends protocol bytes ahead of nothing: they queue behind data already waiting.
    bool sendRaw(const std::string &bytes)
    {
        queued += bytes;
        return write(std::string());
    }
    std::unique_ptr<Socket> socket;
    std::string address;
    std::string queued;
};

class Rfc2217Target : public TcpTarget {
public:
    using TcpTarget::TcpTarget;

    // Offers COM Port Control and waits for the answer; false with failure() set when refused
    // or unanswered.
    bool negotiate()
    {
        sendRaw(client.greeting());
        const double deadline = monotonicMs() + kNegotiationTimeoutMs;
        std::string early;   // data that came before the answer goes to the tester later
        while (client.comPort() == Rfc2217Client::ComPort::Asked) {
            const double left = deadline - monotonicMs();
            pollfd p{socket->fd(), POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left) + 1) == 0)
                return fail(address + " did not answer the offer of COM Port Control (RFC 2217): "
                                      "is it a telnet(rfc2217) port?");
            if (!read(early))
                return false;
        }
        if (client.comPort() == Rfc2217Client::ComPort::Refused)
            return fail(address + " refused COM Port Control (RFC 2217)");
        held = early;
        // a redirector's port has DTR and RTS up; no answer to this is waited for
        return sendRaw(client.raiseModemLines());
    }
    bool read(std::string &data) override
    {
        data += held;
        held.clear();
        return TcpTarget::read(data);
    }
    bool hasHeld() const override { return !held.empty(); }
    void follow(const LineSettings &s) override
    {
        if (s != applied) {
            applied = s;
            sendRaw(client.setSettings(s));
        }
    }
    void describe(ChainFacts &facts) const override
    {
        facts.kind = "RFC 2217";
        facts.deviceServerReports = true;
        if (client.serverSettings().baud)
            facts.serverPort = client.serverSettings().text();
        const std::string missing =
            Rfc2217Client::describe(client.requested() & ~client.acknowledged());
        for (std::size_t from = 0; from < missing.size();) {
            const std::size_t comma = missing.find(", ", from);
            facts.notAcknowledged.push_back(missing.substr(from, comma - from));
            from = comma == std::string::npos ? missing.size() : comma + 2;
        }
    }

protected:
    void received(const char *bytes, std::size_t n, std::string &data) override
    {
        std::string reply;
        client.decode(bytes, n, data, reply);
        if (!reply.empty())
            queued += reply;   // goes out with the next write
    }
    std::string encode(const std::string &data) override { return client.encode(data); }

private:
    Rfc2217Client client;
    LineSettings applied;
    std::string held;
};

} // namespace

Opened<Target> openTarget(const std::string &where)
{
    if (!where.empty() && where[0] == '/') {
        Opened<Transport> line = openSerialTransport(where);
        if (!line.value)
            return Opened<Target>::failed(line.error);
        return {std::make_unique<SerialTarget>(std::move(line.value)), {}};
    }
    const bool rfc2217 = where.rfind("rfc2217://", 0) == 0;
    const std::string address = rfc2217 ? where.substr(10) : where;
    HostPort to;
    if (!splitHostPort(address, false, to))
        return Opened<Target>::failed(
            "--relay needs a device path, HOST:PORT or rfc2217://HOST:PORT, not \"" + where + "\"");
    Opened<Socket> socket = connectTcp(to, address);
    if (!socket.value)
        return Opened<Target>::failed(socket.error);
    if (!rfc2217)
        return {std::make_unique<TcpTarget>(std::move(socket.value), address), {}};
    auto target = std::make_unique<Rfc2217Target>(std::move(socket.value), address);
    if (!target->negotiate())
        return Opened<Target>::failed(target->failure());
    return {std::move(target), {}};
}
