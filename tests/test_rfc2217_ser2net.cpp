// What Debian's ser2net answers to the RFC 2217 client on a pseudo-terminal: the requests it
// reports on and those it does not, the data carried whatever it answers, and the one-byte
// form of the baud rate it answers in once a client used that form.
#include "farend/rfc2217/rfc2217.h"
#include "serial/termiosfacts.h"
#include "tests/support/rfc2217session.h"

#include "tests/support/freeport.h"

#include <QtTest>

#include <termios.h>

namespace {
using R = Rfc2217Client;

} // namespace

class Rfc2217Ser2netTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void whatSer2netAnswersOnAPseudoTerminal();
    void aRateAnsweredInOneByteIsTheRateSer2netSet();

private:
    bool connect(Rfc2217Session &s);
    std::uint32_t portRate() const;

    QString ser2net;
    QTemporaryDir dir;
    QProcess pair, echo, server;
    quint16 port = 0;
};

void Rfc2217Ser2netTest::initTestCase()
{
    ser2net = QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/bin", "/sbin"});
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    // a virtual null-modem cable; the far end echoes what ser2net writes to its side
    const QString side = dir.filePath("server"), far = dir.filePath("far");
    pair.start("socat", {"pty,link=" + side + ",rawer", "pty,link=" + far + ",rawer"});
    QVERIFY(pair.waitForStarted(10000));
    for (int i = 0; i < 200 && !(QFileInfo::exists(side) && QFileInfo::exists(far)); ++i)
        QTest::qWait(50);
    QVERIFY(QFileInfo::exists(far));
    echo.start("socat", {far + ",rawer", "exec:cat"});
    QVERIFY(echo.waitForStarted(10000));
    port = freePort();
    const QString config = dir.filePath("rfc.yaml");
    QFile f(config);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("%YAML 1.1\n---\nconnection: &c\n  accepter: telnet(rfc2217),tcp,"
                           "127.0.0.1,%1\n  connector: serialdev,%2,9600n81,local\n")
                .arg(port)
                .arg(side)
                .toUtf8());
    f.close();
    server.start(ser2net, {"-n", "-c", config, "-P", config + ".pid"});
    QVERIFY(server.waitForStarted(10000));
}

void Rfc2217Ser2netTest::cleanupTestCase()
{
    for (QProcess *p : {&server, &echo, &pair}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            p->waitForFinished(5000);
        }
    }
}

// Connects to ser2net and waits for its answer to COM Port Control.
bool Rfc2217Ser2netTest::connect(Rfc2217Session &s)
{
    // ser2net gives no sign that it listens, nor that the last session has gone: try until it
    // takes the connection
    for (int i = 0; i < 100; ++i) {
        const auto answered = [&] { return s.client.comPort() != R::ComPort::Asked; };
        if (s.connectTo(port) && s.runUntil(answered, 2000))
            return true;
        close(s.sock);
        s.sock = -1;
        s.closed = false;
        s.client = R();
        QTest::qWait(100);
    }
    return false;
}

// The speed of ser2net's pty as ser2net set it, read from the terminal itself.
std::uint32_t Rfc2217Ser2netTest::portRate() const
{
    const int fd = open(QFile::encodeName(dir.filePath("server")).constData(),
                        O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    const bool read = fd >= 0 && tcgetattr(fd, &t) == 0;
    if (fd >= 0)
        close(fd);
    return read ? termiosfacts::baudOf(cfgetospeed(&t)) : 0;
}

void Rfc2217Ser2netTest::whatSer2netAnswersOnAPseudoTerminal()
{
    Rfc2217Session s;
    QVERIFY(connect(s));
    auto &c = s.client;
    c.queueControl(c.setSettings({9600, 8, 'N', 1}) + c.raiseModemLines() +
                   c.askWhatTheServerKnows() + c.purge());
    c.queueData("0123");
    QVERIFY(s.runUntil([&] { return s.data.find("0123") != std::string::npos; }));
    // ser2net 4.3 on a pty: the port's settings, its name and the purge answered as asked;
    // the masks answered with a notification of the current state; DTR and RTS not at all,
    // as a pty has no modem lines
    QString got;
    for (int r = 0; r < R::kRequests; ++r)
        got += "?WSO"[int(c.request(R::Request(r)).answer)];
    QCOMPARE(got, QString("SSSSWWSSSS"));   // baud size parity stop DTR RTS sig masks purge
    QCOMPARE(c.serverSettings().text(), std::string("9600 8N1"));
    QCOMPARE(c.signature().substr(0, 7), std::string("ser2net"));
    QCOMPARE(c.request(R::kLineStateMask).quirk, std::string("a NOTIFY-LINESTATE"));
    QCOMPARE(c.request(R::kModemStateMask).quirk, std::string("a NOTIFY-MODEMSTATE"));
    QCOMPARE(c.notAcknowledged(), (std::vector<std::string>{"DTR", "RTS"}));
    QVERIFY(c.reportedLineErrors().reported());
    QVERIFY(!c.reportedLineErrors().anyError());
    QCOMPARE(c.modemLines().changes(), 0LL);
    QCOMPARE(c.unparsed(), 0LL);

    // a new run: purged again, and the data still carried
    c.queueControl(c.purge());
    c.queueData(std::string("A\xff" "B", 3));
    QVERIFY(s.runUntil([&] { return s.data.find("A\xff" "B") != std::string::npos; }));
    QCOMPARE(int(c.request(R::kPurge).answer), int(R::Answer::Same));
}

void Rfc2217Ser2netTest::aRateAnsweredInOneByteIsTheRateSer2netSet()
{
    Rfc2217Session s;
    QVERIFY(connect(s));
    auto &c = s.client;
    // the one-byte form asking for the current rate (0): ser2net answers in it from now on
    c.queueControl(std::string("\xff\xfa\x2c\x01\x00\xff\xf0", 7));
    QVERIFY(s.runUntil([&] { return c.request(R::kBaud).answer != R::Answer::NotAsked; }));
    QCOMPARE(c.request(R::kBaud).value, std::string("9600"));   // the connector's rate
    QCOMPARE(c.request(R::kBaud).quirk.rfind("a one-byte index (", 0), std::size_t(0));
    for (std::uint32_t rate : {300u, 2400u, 4800u, 19200u, 38400u, 57600u, 115200u, 230400u,
                               9600u}) {
        c.queueControl(c.setSettings({rate, 8, 'N', 1}));
        QVERIFY(s.runUntil([&] { return c.request(R::kStopSize).answer != R::Answer::Waiting; }));
        QCOMPARE(c.request(R::kBaud).quirk.rfind("a one-byte index (", 0), std::size_t(0));
        QCOMPARE(int(c.request(R::kBaud).answer), int(R::Answer::Same));
        QCOMPARE(c.serverSettings().baud, rate);
        QCOMPARE(portRate(), rate);
    }
    // a rate the form has no index for: ser2net sets it and answers 0, which names no rate
    c.queueControl(c.setSettings({460800, 8, 'N', 1}));
    QVERIFY(s.runUntil([&] { return c.request(R::kStopSize).answer != R::Answer::Waiting; }));
    QCOMPARE(portRate(), 460800u);
    QCOMPARE(int(c.request(R::kBaud).answer), int(R::Answer::Waiting));
    QCOMPARE(c.unparsed(), 1LL);
    QCOMPARE(c.serverSettings().baud, 9600u);
}

QTEST_GUILESS_MAIN(Rfc2217Ser2netTest)
#include "test_rfc2217_ser2net.moc"
