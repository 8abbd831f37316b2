// What the chain's own parts can be asked: a local UART's error counters and the kernel's round
// trip estimate for a TCP connection.
#include "farend/kernel/tcpinfo.h"
#include "farend/kernel/uartcounters.h"
#include "tests/support/ptypair.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

class ChainProbesTest : public QObject {
    Q_OBJECT
private slots:
    void aPseudoTerminalDoesNotReportUartCounters();
    void aDescriptorThatIsNoTerminalReportsNoUartCounters();
    void countersSinceAnEarlierReadingAreTheDifference();
    void aConnectedLoopbackSocketReportsItsRoundTrip();
    void aSocketThatIsNotConnectedOrNotTcpReportsNoRoundTrip();
};

void ChainProbesTest::aPseudoTerminalDoesNotReportUartCounters()
{
    PtyPair pty;
    QVERIFY(pty.master >= 0);
    QVERIFY(!readUartCounters(pty.slave).reported());
    QVERIFY(!readUartCounters(pty.master).reported());
}

void ChainProbesTest::aDescriptorThatIsNoTerminalReportsNoUartCounters()
{
    int fds[2];
    QCOMPARE(pipe(fds), 0);
    QVERIFY(!readUartCounters(fds[0]).reported());
    close(fds[0]);
    close(fds[1]);
    QVERIFY(!readUartCounters(-1).reported());
}

void ChainProbesTest::countersSinceAnEarlierReadingAreTheDifference()
{
    const LineErrorCounts start{3, 1, 0, 2, 0, 100, 90};
    const LineErrorCounts end{7, 1, 5, 2, 4, 250, 240};
    const LineErrorCounts d = end.since(start);
    QCOMPARE(*d.framing, 4LL);
    QCOMPARE(*d.parity, 0LL);
    QCOMPARE(*d.overrun, 5LL);
    QCOMPARE(*d.breaks, 0LL);
    QCOMPARE(*d.bufferOverrun, 4LL);
    QCOMPARE(*d.rx, 150LL);
    QCOMPARE(*d.tx, 150LL);
    QVERIFY(d.anyError());
    // a device server's counts: what it never reports stays not reported, not 0; nothing
    // earlier counts from 0
    const LineErrorCounts server{0, 2, 0, 0, {}, {}, {}};
    const LineErrorCounts s = server.since(LineErrorCounts{});
    QCOMPARE(*s.parity, 2LL);
    QVERIFY(!s.bufferOverrun && !s.rx && !s.tx);
    QVERIFY(!LineErrorCounts{}.since(start).reported());
    const LineErrorCounts bytesOnly{0, 0, 0, 0, {}, 9, 9};
    QVERIFY(!bytesOnly.anyError());   // bytes are no errors
}

namespace {
// A listening socket on a free loopback port, a client connected to it, and the accepted end.
struct LoopbackConnection {
    int listener = -1, client = -1, server = -1;
    LoopbackConnection()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(client, reinterpret_cast<sockaddr *>(&a), len) != 0)
            return;
        server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    LoopbackConnection(const LoopbackConnection &) = delete;
    LoopbackConnection &operator=(const LoopbackConnection &) = delete;
    ~LoopbackConnection()
    {
        for (int fd : {listener, client, server})
            if (fd >= 0)
                close(fd);
    }
};
} // namespace

void ChainProbesTest::aConnectedLoopbackSocketReportsItsRoundTrip()
{
    LoopbackConnection c;
    QVERIFY(c.server >= 0);
    // a few exchanges give the kernel round-trip samples
    char byte = 'x';
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(write(c.client, &byte, 1), ssize_t(1));
        QCOMPARE(read(c.server, &byte, 1), ssize_t(1));
        QCOMPARE(write(c.server, &byte, 1), ssize_t(1));
        QCOMPARE(read(c.client, &byte, 1), ssize_t(1));
    }
    const auto rtt = readLanRtt(c.client);
    QVERIFY(rtt.has_value());
    QVERIFY(rtt->smoothedMs > 0);
    QVERIFY(rtt->minMs > 0);
    QVERIFY(rtt->minMs <= rtt->smoothedMs + 0.01);   // the kernel rounds to microseconds
    QVERIFY(rtt->varianceMs >= 0);
}

void ChainProbesTest::aSocketThatIsNotConnectedOrNotTcpReportsNoRoundTrip()
{
    LoopbackConnection c;
    QVERIFY(c.listener >= 0);
    QVERIFY(!readLanRtt(c.listener).has_value());   // listening, not connected
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(!readLanRtt(udp).has_value());
    close(udp);
    PtyPair pty;
    QVERIFY(!readLanRtt(pty.master).has_value());
}

QTEST_GUILESS_MAIN(ChainProbesTest)
#include "test_chainprobes.moc"
