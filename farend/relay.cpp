#include "farend/relay.h"

#include "farend/echostats.h"
#include "farend/link.h"
#include "farend/rfc2217.h"
#include "farend/transport.h"
#include "serial/clock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr double kConnectTimeoutMs = 5000;
constexpr double kNegotiationTimeoutMs = 3000;
constexpr double kReconnectEveryMs = 1000;

// --- the target ------------------------------------------------------------------------------

class Target {
public:
    virtual ~Target() = default;
    // The descriptor to wait on; -1 when the target is asked every millisecond instead.
    virtual int fd() const { return -1; }
    // Appends what came; false when the target went away (why says how).
    virtual bool read(std::string &data) = 0;
    // Queues `data` and writes what the target takes now; false when it went away.
    virtual bool write(const std::string &data) = 0;
    virtual bool hasQueued() const { return false; }
    // The tester set COM3 to `s`.
    virtual void follow(const LineSettings &) {}
    // What the summary adds about the target, starting with ", " (or empty).
    virtual std::string note() const { return std::string(); }
    virtual std::string reportFields() const { return std::string(); }
    std::string why;
};

class SerialTarget : public Target {
public:
    explicit SerialTarget(std::unique_ptr<Transport> line) : line(std::move(line)) {}
    bool read(std::string &data) override
    {
        if (line->wait(0, data) != Transport::Event::Failed)
            return true;
        why = line->failure();
        return false;
    }
    bool write(const std::string &data) override
    {
        queued += data;
        const long n = queued.empty() ? 0 : line->send(queued);
        if (n < 0) {
            why = line->failure();
            return false;
        }
        queued.erase(0, static_cast<std::size_t>(n));
        return true;
    }
    bool hasQueued() const override { return !queued.empty(); }

private:
    std::unique_ptr<Transport> line;   // gives the device its settings back when it goes
    std::string queued;
};

class TcpTarget : public Target {
public:
    TcpTarget(int socket, std::string address) : sock(socket), address(std::move(address)) {}
    ~TcpTarget() override { close(sock); }
    int fd() const override { return sock; }
    bool read(std::string &data) override
    {
        const Drained d =
            drain(sock, [&](const char *bytes, std::size_t n) { received(bytes, n, data); });
        if (d == Drained::Open)
            return true;
        why = d == Drained::EndOfFile ? address + " closed the connection"
                                      : address + ": " + std::strerror(errno);
        return false;
    }
    bool write(const std::string &data) override
    {
        queued += encode(data);
        while (!queued.empty()) {
            const ssize_t n = ::send(sock, queued.data(), queued.size(), MSG_NOSIGNAL);
            if (n > 0) {
                queued.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return true;
            why = address + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool hasQueued() const override { return !queued.empty(); }

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
    int sock;
    std::string address;
    std::string queued;
};

class Rfc2217Target : public TcpTarget {
public:
    using TcpTarget::TcpTarget;

    // Offers COM Port Control and waits for the answer; false with `error` set when refused or
    // unanswered.
    bool negotiate(std::string &error)
    {
        sendRaw(client.greeting());
        const double deadline = monotonicMs() + kNegotiationTimeoutMs;
        std::string early;   // data that came before the answer goes to the tester later
        while (client.comPort() == Rfc2217Client::ComPort::Asked) {
            const double left = deadline - monotonicMs();
            pollfd p{sock, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left) + 1) == 0) {
                error = address + " did not answer the offer of COM Port Control (RFC 2217): "
                                  "is it a telnet(rfc2217) port?";
                return false;
            }
            if (!read(early)) {
                error = why;
                return false;
            }
        }
        if (client.comPort() == Rfc2217Client::ComPort::Refused) {
            error = address + " refused COM Port Control (RFC 2217)";
            return false;
        }
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
    void follow(const LineSettings &s) override
    {
        if (s != applied) {
            applied = s;
            sendRaw(client.setSettings(s));
        }
    }
    std::string note() const override
    {
        std::string text = ", device server's port ";
        text += client.serverSettings().baud ? client.serverSettings().text() : "not reported";
        const unsigned missing = client.requested() & ~client.acknowledged();
        if (missing)
            text += " (not acknowledged: " + Rfc2217Client::describe(missing) + ")";
        return text;
    }
    std::string reportFields() const override
    {
        const unsigned missing = client.requested() & ~client.acknowledged();
        return ",\n  \"device_server_port\": \"" +
               (client.serverSettings().baud ? client.serverSettings().text() : std::string()) +
               "\",\n  \"not_acknowledged\": \"" + Rfc2217Client::describe(missing) + "\"";
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

// "rfc2217://HOST:PORT", "HOST:PORT" (an IPv6 HOST in brackets), or a device path.
enum class Kind { Serial, Tcp, Rfc2217, Bad };
Kind kindOf(const std::string &target, std::string &host, std::string &port)
{
    std::string rest = target;
    Kind kind = Kind::Tcp;
    if (rest.rfind("rfc2217://", 0) == 0) {
        rest.erase(0, 10);
        kind = Kind::Rfc2217;
    } else if (!rest.empty() && rest[0] == '/') {
        return Kind::Serial;
    }
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        colon = rest.find("]:");
        if (colon == std::string::npos)
            return Kind::Bad;
        host = rest.substr(1, colon - 1);
        port = rest.substr(colon + 2);
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0)
            return Kind::Bad;
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(port) == 0 || std::stol(port) > 65535)
        return Kind::Bad;
    return kind;
}

int connectTcp(const std::string &host, const std::string &port, const std::string &address,
               std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found)) {
        error = "cannot connect to " + address + ": " + gai_strerror(r);
        return -1;
    }
    int err = ECONNREFUSED;
    int sock = -1;
    for (addrinfo *a = found; a && sock < 0; a = a->ai_next) {
        sock = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (sock < 0) {
            err = errno;
            continue;
        }
        if (connect(sock, a->ai_addr, a->ai_addrlen) != 0 && errno == EINPROGRESS) {
            pollfd p{sock, POLLOUT, 0};
            socklen_t length = sizeof err;
            err = ETIMEDOUT;
            if (poll(&p, 1, static_cast<int>(kConnectTimeoutMs)) == 1)
                getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &length);
            errno = err;
        } else {
            errno = 0;
        }
        if (errno) {
            err = errno;
            close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(found);
    if (sock < 0) {
        error = "cannot connect to " + address + ": " + std::strerror(err);
        return -1;
    }
    int on = 1;   // each byte goes as it comes, as a redirector sends what the tester wrote
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return sock;
}

std::unique_ptr<Target> openTarget(const std::string &target, std::string &error)
{
    std::string host, port;
    const Kind kind = kindOf(target, host, port);
    if (kind == Kind::Bad) {
        error = "--relay needs a device path, HOST:PORT or rfc2217://HOST:PORT, not \"" +
                target + "\"";
        return nullptr;
    }
    if (kind == Kind::Serial) {
        auto line = openSerialTransport(target, error);
        return line ? std::make_unique<SerialTarget>(std::move(line)) : nullptr;
    }
    const std::string address = kind == Kind::Rfc2217 ? target.substr(10) : target;
    const int sock = connectTcp(host, port, address, error);
    if (sock < 0)
        return nullptr;
    if (kind == Kind::Tcp)
        return std::make_unique<TcpTarget>(sock, address);
    auto rfc = std::make_unique<Rfc2217Target>(sock, address);
    if (!rfc->negotiate(error))
        return nullptr;
    return rfc;
}

// --- COM3: the pseudo-terminal and its link --------------------------------------------------

std::uint32_t baudOf(speed_t s)
{
    static const struct {
        speed_t code;
        std::uint32_t baud;
    } table[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
                 {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
                 {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
                 {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto &t : table)
        if (t.code == s)
            return t.baud;
    return 0;
}

class Com3 {
public:
    explicit Com3(std::string path) : path(std::move(path)) {}
    ~Com3() { hangUp(); }

    // Makes the pseudo-terminal and the link to it; false with `error` set.
    bool make(std::string &error)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        const char *slave = ptsname(master);
        if (!slave) {
            error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        slavePath = slave;
        termios t{};
        // a pty master reads and sets its slave's settings; a COM3 left cooked would change bytes
        if (tcgetattr(master, &t) != 0) {
            error = "cannot read " + slavePath + "'s settings: " + std::strerror(errno);
            return false;
        }
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        t.c_cflag |= CLOCAL | CREAD;
        // with packet mode, EXTPROC makes every change of the settings known to this side
        t.c_lflag |= EXTPROC;
        if (tcsetattr(master, TCSANOW, &t) != 0) {
            error = "cannot set " + slavePath + " to raw 9600: " + std::strerror(errno);
            return false;
        }
        int on = 1;
        packetMode = ioctl(master, TIOCPKT, &on) == 0;
        if (symlink(slavePath.c_str(), path.c_str()) != 0) {
            error = "cannot make " + path + ": " + std::strerror(errno);
            return false;
        }
        linked = true;
        return true;
    }

    // Closes the pseudo-terminal: the tester's port fails. The link goes with it.
    void hangUp()
    {
        if (linked) {
            char target[256];
            const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n > 0 && slavePath == std::string(target, static_cast<std::size_t>(n)))
                unlink(path.c_str());
            linked = false;
        }
        if (master >= 0)
            close(master);
        master = -1;
        testerHere = false;
    }

    int fd() const { return master; }
    bool testerOpen() const { return testerHere; }
    // Whether the tester has COM3 open now (the master hangs up while no one has).
    bool checkOpen()
    {
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, 0);
        testerHere = !(p.revents & POLLHUP) || (p.revents & POLLIN);
        return testerHere;
    }

    // Reads what the tester wrote; `changed` is set when packet mode reported new settings.
    // Returns false when the tester has closed COM3.
    bool read(std::string &data, bool &changed)
    {
        const Drained d = drain(master, [&](const char *bytes, std::size_t n) {
            if (!packetMode)
                data.append(bytes, n);
            else if (bytes[0] == TIOCPKT_DATA)
                data.append(bytes + 1, n - 1);
            else
                changed = true;
        });
        if (d == Drained::Open)
            return true;
        testerHere = false;   // EIO: the last opener closed its end
        return false;
    }

    // Writes what the pseudo-terminal takes now; the count, or -1 when no one has it open.
    long write(const std::string &bytes)
    {
        const ssize_t n = ::write(master, bytes.data(), bytes.size());
        if (n >= 0)
            return n;
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }

    LineSettings settings() const
    {
        termios t{};
        LineSettings s;
        if (tcgetattr(master, &t) != 0)
            return s;
        s.baud = baudOf(cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
        case CS5: s.dataBits = 5; break;
        case CS6: s.dataBits = 6; break;
        case CS7: s.dataBits = 7; break;
        default: s.dataBits = 8; break;
        }
        if (t.c_cflag & PARENB)
            s.parity = (t.c_cflag & CMSPAR) ? ((t.c_cflag & PARODD) ? 'M' : 'S')
                                            : ((t.c_cflag & PARODD) ? 'O' : 'E');
        s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
        return s;
    }

private:
    std::string path, slavePath;
    int master = -1;
    bool linked = false;
    bool packetMode = false;
    bool testerHere = false;
};

// --- the relay -------------------------------------------------------------------------------

class Relay {
public:
    Relay(const Config &config) : config(config), com3(config.linkPath), link(quietLink()) {}

    int run(ReportFile &report, const std::function<bool()> &stop,
            const std::function<bool()> &progress);

private:
    static LinkOptions quietLink()
    {
        LinkOptions o;
        o.silent = true;   // the relay's line model only watches what the tester sends
        return o;
    }
    // Carries bytes until stopped (true) or the target goes away (false).
    bool carry(const std::function<bool()> &stop, const std::function<bool()> &progress);
    void toTester(const std::string &replies);
    void testerOpened(double now);
    std::string summary() const;
    std::string report() const;

    const Config &config;
    Com3 com3;
    std::unique_ptr<Target> target;
    Link link;
    EchoStats echoes;
    std::string outbox;   // replies COM3 has not taken yet
    long long runs = 0;
};

void Relay::testerOpened(double)
{
    ++runs;
    echoes.newRun();
    link.newLine();
    target->follow(com3.settings());   // the settings found at open, if packet mode said none
}

void Relay::toTester(const std::string &replies)
{
    if (!com3.testerOpen()) {
        link.lost(replies.size() + outbox.size());   // no one to read them
        outbox.clear();
        return;
    }
    const std::size_t room = kOutboxLimit - std::min(kOutboxLimit, outbox.size());
    outbox.append(replies, 0, room);
    if (replies.size() > room)
        link.lost(replies.size() - room);
    if (outbox.empty())
        return;
    const long n = com3.write(outbox);
    if (n > 0) {
        link.sent(static_cast<std::size_t>(n));
        outbox.erase(0, static_cast<std::size_t>(n));
    }
}

bool Relay::carry(const std::function<bool()> &stop, const std::function<bool()> &progress)
{
    std::string fromTester, fromTarget;
    while (!stop()) {
        if (progress())
            std::fprintf(stderr, "%s\n", summary().c_str());
        pollfd p[2];
        nfds_t n = 0;
        const int targetFd = target->fd();
        if (targetFd >= 0)
            p[n++] = {targetFd, static_cast<short>(POLLIN | (target->hasQueued() ? POLLOUT : 0)),
                      0};
        const bool open = com3.testerOpen();
        if (open)
            p[n++] = {com3.fd(), static_cast<short>(POLLIN | (outbox.empty() ? 0 : POLLOUT)), 0};
        // a closed COM3 hangs up all the time: it is looked at every 10 ms instead
        const int timeout = targetFd < 0 || !outbox.empty() ? 1 : open ? 50 : 10;
        poll(p, n, timeout);
        const double now = monotonicMs();

        if (!open && com3.checkOpen())
            testerOpened(now);
        fromTester.clear();
        bool changed = false;
        if (com3.testerOpen() && !com3.read(fromTester, changed))
            outbox.clear();   // the run has ended; the next open is a new one
        if (changed)
            target->follow(com3.settings());
        for (char c : fromTester) {
            echoes.sent(static_cast<unsigned char>(c), now);
            link.received(static_cast<unsigned char>(c), now);
        }
        if (!target->write(fromTester))
            return false;

        fromTarget.clear();
        const bool held = target->read(fromTarget);
        const double at = monotonicMs();
        for (char c : fromTarget)
            echoes.replied(static_cast<unsigned char>(c), at);
        toTester(fromTarget);
        echoes.expire(at);
        if (!held)
            return false;
    }
    return true;
}

std::string Relay::summary() const
{
    return link.summary() + ", " + std::to_string(runs) + (runs == 1 ? " run" : " runs") +
           ", " + echoes.summary() + target->note();
}

std::string Relay::report() const
{
    std::string text = link.report();
    text.erase(text.size() - 3);   // the closing "\n}\n": the relay's figures follow
    return text + ",\n  \"runs\": " + std::to_string(runs) + ",\n" + echoes.reportFields() +
           target->reportFields() + "\n}\n";
}

int Relay::run(ReportFile &report, const std::function<bool()> &stop,
               const std::function<bool()> &progress)
{
    struct stat st;
    if (lstat(config.linkPath.c_str(), &st) == 0)
        return refuse(config.linkPath + " exists already");
    std::string error;
    target = openTarget(config.relayTarget, error);
    if (!target || !com3.make(error)) {
        report.discard();
        return refuse(error);
    }
    std::fprintf(stderr, "farend: relaying %s to %s\n", config.linkPath.c_str(),
                 config.relayTarget.c_str());
    int status = 0;
    while (!carry(stop, progress)) {
        com3.hangUp();   // as a redirector whose connection is gone: the tester's port fails
        std::fprintf(stderr, "farend: %s: %s hung up\n", target->why.c_str(),
                     config.linkPath.c_str());
        if (!config.reconnect) {
            status = 1;
            break;
        }
        std::fprintf(stderr, "farend: waiting for %s again\n", config.relayTarget.c_str());
        const std::string last = summary();
        std::unique_ptr<Target> again;
        double nextTry = monotonicMs() + kReconnectEveryMs;
        while (!again && !stop()) {
            if (progress())
                std::fprintf(stderr, "%s\n", last.c_str());
            if (monotonicMs() < nextTry) {
                usleep(50000);
                continue;
            }
            nextTry = monotonicMs() + kReconnectEveryMs;
            again = openTarget(config.relayTarget, error);
        }
        if (!again)
            break;   // stopped while waiting
        target = std::move(again);
        echoes.newRun();
        outbox.clear();
        if (!com3.make(error)) {
            std::fprintf(stderr, "farend: %s\n", error.c_str());
            status = 1;
            break;
        }
        std::fprintf(stderr, "farend: relaying %s to %s again\n", config.linkPath.c_str(),
                     config.relayTarget.c_str());
    }
    echoes.expire(monotonicMs());
    std::fprintf(stderr, "%s\n", summary().c_str());
    if (!report.write(this->report()))
        std::fprintf(stderr, "farend: %s\n", report.error().c_str());
    com3.hangUp();
    target.reset();   // a serial device gets its settings back now
    return status;
}

} // namespace

int runRelay(const Config &config, ReportFile &report, const std::function<bool()> &stop,
             const std::function<bool()> &progress)
{
    Relay relay(config);
    return relay.run(report, stop, progress);
}
