#include "farend/relay/targets.h"

#include "farend/io/address.h"
#include "farend/io/transport.h"
#include "farend/kernel/uartcounters.h"
#include "farend/rfc2217/rfc2217.h"
#include "serial/clock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr double kNegotiationTimeoutMs = 3000;
// Data a device server may send before it answers the offer of COM Port Control: more is a
// server that does not speak RFC 2217 on that port.
constexpr std::size_t kEarlyLimit = 1 << 20;

class SerialTarget : public Target {
public:
    explicit SerialTarget(std::unique_ptr<Transport> line)
        : line(std::move(line)), atStart(readUartCounters(this->line->fd()))
    {
    }
    bool read(std::string &data) override
    {
        return line->wait(0, data) != Transport::Event::Failed || fail(line->error());
    }
    bool write(const std::string &data) override
    {
        queued += data;
        const long n = queued.empty() ? 0 : line->send(queued);
        if (n < 0)
            return fail(line->error());
        queued.erase(0, static_cast<std::size_t>(n));
        return true;
    }
    bool hasQueued() const override { return !queued.empty(); }
    void describe(ChainFacts &facts) const override
    {
        facts.kind = "serial device";
        facts.reporter = "the driver";
        const LineErrorCounts now = readUartCounters(line->fd());
        if (atStart.reported() && now.reported())   // else not reported by the driver: never zeros
            facts.lineErrors = now.since(atStart);
    }

private:
    std::unique_ptr<Transport> line;   // gives the device its settings back when it goes
    LineErrorCounts atStart;
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
        if (d == Drained::EndOfFile)
            return fail(Errc::Closed, address + " closed the connection");
        return fail(Errc::LineFailed, address + ": " + std::strerror(errno));
    }
    bool write(const std::string &data) override
    {
        queued += data;
        return flush(queued);
    }
    bool hasQueued() const override { return !queued.empty(); }
    void describe(ChainFacts &facts) const override
    {
        facts.kind = "raw TCP";
        if (const std::optional<TcpInfo> info = readTcpInfo(socket->fd())) {
            facts.lan = info->rtt;
            facts.tcp = info->counts;
        }
    }

protected:
    virtual void received(const char *bytes, std::size_t n, std::string &data)
    {
        // a telnet port answers a connection with negotiation (IAC, then WILL, WONT, DO, DONT
        // or SB): most likely the RFC 2217 port the user meant
        const std::size_t before = data.size();
        data.append(bytes, n);
        if (opening.size() < 2) {
            opening.append(data, before, 2 - opening.size());
            const auto verb = opening.size() == 2 ? static_cast<unsigned char>(opening[1]) : 0;
            if (static_cast<unsigned char>(opening[0]) == 0xFF && verb >= 250 && verb <= 254)
                notice = address + " sent telnet negotiation: is it rfc2217://" + address + "?";
        }
    }
    // Sends what the socket takes now of `out` and drops it from there.
    bool flush(std::string &out)
    {
        while (!out.empty()) {
            const ssize_t n = ::send(socket->fd(), out.data(), out.size(), MSG_NOSIGNAL);
            if (n > 0) {
                out.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return true;
            return fail(Errc::LineFailed, address + ": " + std::strerror(errno));
        }
        return true;
    }
    std::unique_ptr<Socket> socket;
    std::string address;
    std::string queued;
    std::string opening;   // the connection's first bytes, as many as are looked at
};

class Rfc2217Target : public TcpTarget {
public:
    using TcpTarget::TcpTarget;

    // Offers COM Port Control and waits for the answer; false with failure() set when refused,
    // unanswered, buried under more data than a server sends before it answers, or when the
    // server failed after it agreed (agreed() says which).
    bool agreed() const { return client.comPort() == Rfc2217Client::ComPort::Accepted; }
    bool negotiate()
    {
        offer = client.greeting();
        client.queueControl(offer);
        if (!send())
            return false;
        const double deadline = monotonicMs() + kNegotiationTimeoutMs;
        while (client.comPort() == Rfc2217Client::ComPort::Asked) {
            const double left = deadline - monotonicMs();
            pollfd p{socket->fd(), POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left) + 1) == 0)
                return fail(Errc::NotRfc2217,
                            address + " did not answer the offer of COM Port Control (RFC 2217): "
                                      "is it a telnet(rfc2217) port?");
            if (!TcpTarget::read(held) || !send())
                return false;
            // an echo would take our offer for the server's, and our answer for its acceptance
            if (opening.size() == offer.size() && opening == offer)
                return fail(Errc::NotRfc2217,
                            address + " echoes what it is sent: it is no RFC 2217 server");
            if (held.size() > kEarlyLimit)
                return fail(Errc::NotRfc2217,
                            address + " sent more than " + std::to_string(kEarlyLimit >> 20) +
                                " MiB of data before it answered the offer of COM Port Control");
        }
        if (client.comPort() == Rfc2217Client::ComPort::Refused)
            return fail(Errc::NotRfc2217, address + " refused COM Port Control (RFC 2217)");
        // a redirector's port has DTR and RTS up; then what the server knows of its UART
        client.queueControl(client.raiseModemLines());
        client.queueControl(client.askWhatTheServerKnows());
        return send();
    }
    bool read(std::string &data) override
    {
        if (!held.empty()) {
            data += held;
            std::string().swap(held);   // the early bytes' memory goes back
        }
        return TcpTarget::read(data) && send();
    }
    bool write(const std::string &data) override
    {
        if (!data.empty())
            client.queueData(data);
        return send();
    }
    bool hasQueued() const override { return !client.outgoing().empty(); }
    bool hasHeld() const override { return !held.empty(); }
    void follow(const LineSettings &s) override
    {
        if (s != applied) {
            applied = s;
            client.queueControl(client.setSettings(s));
            send();
        }
    }
    void newRun() override
    {
        client.queueControl(client.purge());
        send();
    }
    void describe(ChainFacts &facts) const override
    {
        TcpTarget::describe(facts);
        facts.kind = "RFC 2217";
        facts.reporter = "the device server";
        facts.lineErrors = client.reportedLineErrors();
        facts.modemLines = client.reportedModemLines();
        facts.server = client.facts(monotonicMs());
    }

private:
    void received(const char *bytes, std::size_t n, std::string &data) override
    {
        opening.append(bytes, std::min(n, offer.size() - std::min(offer.size(), opening.size())));
        client.take(bytes, n, monotonicMs(), data);
    }
    // Writes what the client has ready for the server; false once the client gave up on it.
    bool send()
    {
        while (!client.failed()) {
            const std::string_view out = client.outgoing();
            if (out.empty())
                return true;
            const ssize_t n = ::send(socket->fd(), out.data(), out.size(), MSG_NOSIGNAL);
            if (n > 0) {
                client.wrote(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return true;
            return fail(Errc::LineFailed, address + ": " + std::strerror(errno));
        }
        return fail(within(address + ": ", client.error()));
    }

    Rfc2217Client client;
    std::string offer;   // what was sent first: an echo sends it back as it was
    LineSettings applied;
    std::string held;   // data that came before the answer, for the tester
};

} // namespace

Opened<Target> openTarget(const std::string &where)
{
    if (!where.empty() && where[0] == '/') {
        Opened<Transport> line = openSerialTransport(where);
        if (!line)
            return Opened<Target>::failed(line.error);
        return {std::make_unique<SerialTarget>(std::move(line.value)), {}};
    }
    const bool rfc2217 = where.rfind("rfc2217://", 0) == 0;
    const std::string address = rfc2217 ? where.substr(10) : where;
    const Result<HostPort> to = splitHostPort(address, false);
    if (!to)
        return Opened<Target>::failed(
            within("--relay needs a device path, HOST:PORT or rfc2217://HOST:PORT; ", to.error));
    Opened<Socket> socket = connectTcp(to.value, address);
    if (!socket)
        return Opened<Target>::failed(socket.error);
    if (!rfc2217)
        return {std::make_unique<TcpTarget>(std::move(socket.value), address), {}};
    auto target = std::make_unique<Rfc2217Target>(std::move(socket.value), address);
    // A server that agreed and then failed has failed as one that fails later does: the relay
    // finds it failed at its first step, however the bytes fell into reads.
    if (!target->negotiate() && !target->agreed())
        return Opened<Target>::failed(target->error());
    return {std::move(target), {}};
}
