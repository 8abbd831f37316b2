// The delay line that puts a LAN between a relay and a device server: TCP across it sees the
// delay and, with loss, retransmits, as the kernel's TCP does on a real LAN; and it leaves
// nothing behind. Needs root.
#include "tests/support/lan.h"

#include <QtTest>

#include <arpa/inet.h>
#include <linux/tcp.h>   // glibc's tcp_info stops before tcpi_min_rtt
#include <netinet/in.h>
#include <poll.h>
#include <thread>

namespace {
const quint16 port = 7001;   // the namespaces are the test's own: no other listener there

// A connected pair across the line: the far side's accepted socket and the near side's.
struct Connection {
    int far = -1, near = -1;
    Connection(const Lan &lan)
    {
        const int listener = Lan::socketIn(lan.farNs, AF_INET, SOCK_STREAM);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, lan.farIp.toLatin1().constData(), &a.sin_addr);
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(listener, 1) != 0)
            return;
        near = Lan::socketIn(lan.nearNs, AF_INET, SOCK_STREAM);
        if (near >= 0 && ::connect(near, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            far = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection()
    {
        for (int fd : {far, near})
            if (fd >= 0)
                close(fd);
    }
};

tcp_info infoOf(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size);
    return info;
}

bool readAll(int fd, char *to, size_t size)
{
    for (size_t got = 0; got < size;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0)
            return false;
        const ssize_t n = read(fd, to + got, size - got);
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}
} // namespace

class LanTest : public QObject {
    Q_OBJECT
private slots:
    void eachWayIsDelayed();
    void lossIsRetransmittedAndNothingIsLost();
    void theLineEndsWithItsNamespaces();
};

// A delay line cannot answer sooner than its delay, however busy the machine: a lower bound only.
void LanTest::eachWayIsDelayed()
{
    Lan lan(DELAYLINE_BINARY, {"--delay", "10"});
    if (!lan.up())
        QSKIP(qPrintable(lan.skipReason));
    Connection c(lan);
    QVERIFY(c.far >= 0);
    const int one = 1;
    setsockopt(c.near, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(c.far, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (int i = 0; i < 10; ++i) {
        char b = char('0' + i);
        QCOMPARE(write(c.near, &b, 1), ssize_t(1));
        QVERIFY(readAll(c.far, &b, 1));
        QCOMPARE(write(c.far, &b, 1), ssize_t(1));
        QVERIFY(readAll(c.near, &b, 1));
        QCOMPARE(b, char('0' + i));
    }
    // what the relay reads: the kernel's least round trip on the connection is the line's
    QVERIFY2(infoOf(c.near).tcpi_min_rtt >= 20000, qPrintable(QString::number(infoOf(c.near).tcpi_min_rtt)));
    QVERIFY(lan.counts().contains("near->far"));
}

void LanTest::lossIsRetransmittedAndNothingIsLost()
{
    Lan lan(DELAYLINE_BINARY, {"--delay", "2", "--loss", "10", "--seed", "7"});
    if (!lan.up())
        QSKIP(qPrintable(lan.skipReason));
    Connection c(lan);
    QVERIFY(c.far >= 0);
    QByteArray sent(512 * 1024, Qt::Uninitialized);
    for (int i = 0; i < sent.size(); ++i)
        sent[i] = char(i * 7 + i / 251);
    QByteArray got(sent.size(), '\0');
    std::thread reader([&] { readAll(c.far, got.data(), size_t(got.size())); });
    for (qsizetype off = 0; off < sent.size();) {
        const ssize_t n = write(c.near, sent.constData() + off, size_t(sent.size() - off));
        QVERIFY(n > 0);
        off += n;
    }
    reader.join();
    QCOMPARE(got, sent);
    QVERIFY(infoOf(c.near).tcpi_total_retrans > 0);
    const QString counts = lan.counts();
    QVERIFY2(!counts.contains("near->far 0 packets") && !counts.contains(" 0 dropped"), qPrintable(counts));
}

void LanTest::theLineEndsWithItsNamespaces()
{
    QString ns;
    {
        Lan lan(DELAYLINE_BINARY, {});
        if (!lan.up())
            QSKIP(qPrintable(lan.skipReason));
        ns = lan.farNs;
        QVERIFY(QFileInfo::exists(ns));
    }
    QVERIFY(!QFileInfo::exists(ns));
}

QTEST_GUILESS_MAIN(LanTest)
#include "test_lan.moc"
