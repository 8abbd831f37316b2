// farend --relay on real peers over loopback: ser2net as the device server (raw and RFC 2217)
// on one end of a socat pty pair, `farend --port` echoing on the other, the test playing the
// tester on the relay's COM3; and what the relay refuses.
#include "app/layout.h"
#include "tests/support/testbed.h"
#include "tests/support/xsession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray testCycle = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// A program run until the test ends it; its standard error is collected.
class Peer {
public:
    Peer(const QString &program, const QStringList &args)
    {
        p.setProcessChannelMode(QProcess::SeparateChannels);
        p.start(program, args);
        p.waitForStarted(10000);
    }
    ~Peer() { stop(); }
    QByteArray stop(bool interrupt = true)
    {
        if (p.state() != QProcess::NotRunning) {
            if (interrupt)
                kill(pid_t(p.processId()), SIGINT);
            if (!p.waitForFinished(10000)) {
                p.kill();
                p.waitForFinished(5000);
            }
        }
        err += p.readAllStandardError();
        return err;
    }
    QByteArray errSoFar()
    {
        err += p.readAllStandardError();
        return err;
    }
    int status() const { return p.exitCode(); }
    QProcess p;
    QByteArray err;
};

bool waitForPath(const QString &path, int timeoutMs = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!QFileInfo(path).exists() && t.elapsed() < timeoutMs)
        QTest::qWait(50);
    return QFileInfo(path).exists();
}

int openAsTester(const QString &path)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fd;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// The tester's exchange: one byte of the cycle every `periodMs`, replies read as they come.
QByteArray exchange(int fd, int count, int periodMs)
{
    QByteArray got;
    for (int i = 0; i < count; ++i) {
        const char c = testCycle[i % testCycle.size()];
        if (write(fd, &c, 1) != 1)
            break;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < periodMs) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int(periodMs - t.elapsed())) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                const ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0)
                    return got;
                got.append(buf, n);
            }
        }
    }
    return got;
}

// Reads what is still on its way until nothing has come for `quietMs` (a signal to the test
// process, a child's SIGCHLD, does not end the wait).
QByteArray readUntilQuiet(int fd, int quietMs = 500)
{
    QByteArray got;
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < quietMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(quietMs - quiet.elapsed())) <= 0 || !(p.revents & POLLIN))
            continue;
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, n);
        quiet.restart();
    }
    return got;
}

// A loopback port free now, for a peer that cannot be told to take port 0 (ser2net).
int freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
        close(s);
        return -1;
    }
    close(s);
    return ntohs(a.sin_port);
}

// Where a `farend --listen 127.0.0.1:0` listens ("127.0.0.1:PORT"), once it says so.
QString listeningAt(Peer &peer)
{
    const QRegularExpression said(QStringLiteral("listening on (127\\.0\\.0\\.1:\\d+)"));
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        const auto m = said.match(QString::fromLatin1(peer.errSoFar()));
        if (m.hasMatch())
            return m.captured(1);
        peer.p.waitForReadyRead(100);
    }
    return QString();
}

long long figure(const QByteArray &line, const char *pattern)
{
    const auto m = QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromLatin1(line));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

double figureMs(const QByteArray &line, const char *pattern)
{
    const auto m = QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromLatin1(line));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

} // namespace

class FarendRelayTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void relayThroughSer2netAgreesWithTheFarEnd_data();
    void relayThroughSer2netAgreesWithTheFarEnd();
    void rfc2217SetsTheDeviceServersPortToWhatTheTesterSet();
    void theRealTesterOnTheRelaysCom3GetsEveryEchoThroughSer2net();
    void aNewOpenOfCom3IsANewRunAndTheTargetGoingAwayHangsUpCom3();
    void badInputEndsWithStatus2AndOneLine();

private:
    QString ser2net;
    QTemporaryDir dir;
    std::unique_ptr<Peer> pair;
    QString server, device;
};

void FarendRelayTest::initTestCase()
{
    ser2net = QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                             {"/usr/sbin", "/usr/bin", "/sbin"});
    server = dir.filePath("server");
    device = dir.filePath("device");
    // a virtual null-modem cable: what ser2net writes to one end comes out of the other
    pair = std::make_unique<Peer>(QStringLiteral("socat"),
                                  QStringList{"pty,link=" + server + ",rawer",
                                              "pty,link=" + device + ",rawer"});
    QVERIFY(waitForPath(server) && waitForPath(device));
}

static std::unique_ptr<Peer> startSer2net(const QString &program, const QString &dirPath,
                                          const QString &serverPath, bool rfc2217, int port)
{
    const QString config = dirPath + (rfc2217 ? "/rfc.yaml" : "/raw.yaml");
    QFile f(config);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral("%YAML 1.1\n---\nconnection: &c\n  accepter: %1tcp,127.0.0.1,%2\n"
                           "  connector: serialdev,%3,19200e71,local\n")
                .arg(rfc2217 ? "telnet(rfc2217)," : "")
                .arg(port)
                .arg(serverPath)
                .toUtf8());
    f.close();
    auto peer = std::make_unique<Peer>(program, QStringList{"-n", "-c", config, "-P",
                                                            config + ".pid"});
    QTest::qWait(500);   // ser2net gives no sign that it listens
    return peer;
}

void FarendRelayTest::relayThroughSer2netAgreesWithTheFarEnd_data()
{
    QTest::addColumn<bool>("rfc2217");
    QTest::newRow("raw TCP") << false;
    QTest::newRow("RFC 2217") << true;
}

void FarendRelayTest::relayThroughSer2netAgreesWithTheFarEnd()
{
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    QFETCH(bool, rfc2217);
    const int port = freePort();
    QVERIFY(port > 0);
    auto s2n = startSer2net(ser2net, dir.path(), server, rfc2217, port);
    Peer farend(QStringLiteral(FAREND_BINARY),
                {"--port", device, "--latency", "4", "--drop", "20", "--seed", "7"});
    const QString com3 = dir.filePath("COM3");
    const QString target = (rfc2217 ? "rfc2217://127.0.0.1:" : "127.0.0.1:") + QString::number(port);
    const QString report = dir.filePath("relay.json");
    Peer relay(QStringLiteral(FAREND_BINARY), {"--relay", target, "--link", com3, "--report", report});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());

    const int fd = openAsTester(com3);
    QVERIFY(fd >= 0);
    // a last echo may come after the last byte's 10 ms: read until the line is quiet
    QByteArray got = exchange(fd, 200, 10);
    got += readUntilQuiet(fd);
    close(fd);
    const QByteArray line = relay.stop().trimmed().split('\n').last();
    const QByteArray far = farend.stop().trimmed().split('\n').last();
    QCOMPARE(relay.status(), 0);

    // what farend sent back is what the relay saw echoed; what it dropped, the relay lost
    const long long farSent = figure(far, "sent (\\d+) bytes");
    QVERIFY2(farSent > 100 && farSent < 200, far.constData());   // about 20% dropped
    QCOMPARE(figure(line, "received (\\d+) bytes"), 200LL);
    QVERIFY2(figure(line, "echoed (\\d+)") == farSent, (line + "\n" + far).constData());
    QCOMPARE(figure(line, "lost (\\d+)"), 200 - farSent);
    QCOMPARE(figure(line, "changed (\\d+)"), 0LL);
    QCOMPARE(figure(line, "extra (\\d+)"), 0LL);
    QCOMPARE(qsizetype(figure(line, "sent (\\d+) bytes")), got.size());
    // every echo waited at least the far end's latency
    QVERIFY2(figureMs(line, "round trip median ([0-9.]+) ms") >= 4.0, line.constData());
    QVERIFY2(line.contains("1 run,"), line.constData());

    QFile f(report);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonObject r = QJsonDocument::fromJson(f.readAll()).object();
    QCOMPARE(r["received"].toInt(), 200);
    QCOMPARE(r["echoed"].toInt(), int(farSent));
    QCOMPARE(r["echoes_lost"].toInt(), int(200 - farSent));
    int binned = 0;
    for (const QJsonValue &bin : r["round_trip_histogram_ms"].toArray())
        binned += bin.toObject()["count"].toInt();
    QCOMPARE(binned, int(farSent));
    QVERIFY(r["gap_histogram_ms"].isArray());
}

void FarendRelayTest::rfc2217SetsTheDeviceServersPortToWhatTheTesterSet()
{
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    const int port = freePort();
    QVERIFY(port > 0);
    auto s2n = startSer2net(ser2net, dir.path(), server, true, port);
    const QString com3 = dir.filePath("COM3");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", "rfc2217://127.0.0.1:" + QString::number(port), "--link", com3});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    const int fd = openAsTester(com3);
    QVERIFY(fd >= 0);
    exchange(fd, 5, 20);
    QTest::qWait(300);
    // ser2net was configured 19200 7E1; its side of the line is now the tester's 9600 8N1
    const int look = open(QFile::encodeName(server).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(look >= 0);
    termios t{};
    QCOMPARE(tcgetattr(look, &t), 0);
    close(look);
    close(fd);
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    const QByteArray line = relay.stop();
    // ser2net on a pty acknowledges the settings but not the modem lines, and data still flows
    QVERIFY2(line.contains("device server's port 9600 8N1 (not acknowledged: DTR, RTS)"),
             line.constData());
}

void FarendRelayTest::theRealTesterOnTheRelaysCom3GetsEveryEchoThroughSer2net()
{
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    XSession x;
    QVERIFY(x.ok());
    const int port = freePort();
    QVERIFY(port > 0);
    auto s2n = startSer2net(ser2net, dir.path(), server, false, port);
    Peer farend(QStringLiteral(FAREND_BINARY), {"--port", device});
    // the tester's /dev/COM3 is the testbed's, which the relay's link becomes
    ComTestbed testbed(ComTestbed::NoPort);
    const QString com3 = QFile::decodeName(testbed.root().c_str()) + "/dev/COM3";
    QDir().mkpath(QFileInfo(com3).path());
    Peer relay(QStringLiteral(FAREND_BINARY), {"--relay", "127.0.0.1:" + QString::number(port), "--link", com3});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());

    QProcess tester;
    tester.setProcessEnvironment(x.environment(testbed.environment()));
    tester.start(QStringLiteral(LOOPTEST_BINARY), {});
    const QString window = x.waitForWindow(QString::fromUtf8(Layout::caption), 20000);
    QVERIFY(!window.isEmpty());
    auto click = [&](QPoint at) {
        x.tool(QStringLiteral("xdotool"), {"mousemove", "--window", window, QString::number(at.x()),
                                           QString::number(at.y()), "click", "1"});
    };
    click(Layout::periodArrowClick);
    QTest::qWait(300);
    for (int i = 0; i < 10; ++i)   // "1000" down to "10"
        x.tool(QStringLiteral("xdotool"), {"key", "Down"});
    x.tool(QStringLiteral("xdotool"), {"key", "Return"});
    QTest::qWait(200);
    click(Layout::startStopClick);
    QTest::qWait(1500);
    click(Layout::startStopClick);
    QTest::qWait(500);
    x.tool(QStringLiteral("xdotool"), {"windowactivate", "--sync", window});
    x.tool(QStringLiteral("xdotool"), {"key", "alt+F4"});
    QVERIFY(tester.waitForFinished(30000));
    QCOMPARE(tester.readAllStandardOutput(), QByteArray());

    const QByteArray line = relay.stop().trimmed().split('\n').last();
    const QByteArray far = farend.stop().trimmed().split('\n').last();
    const long long sent = figure(line, "received (\\d+) bytes");
    QVERIFY2(sent > 40, line.constData());   // 1.5 s at 10 ms
    QVERIFY2(line.contains("test cycle exact"), line.constData());
    QCOMPARE(figure(line, "echoed (\\d+)"), sent);
    QCOMPARE(figure(line, "lost (\\d+)"), 0LL);
    QCOMPARE(figure(far, "received (\\d+) bytes"), sent);
    QVERIFY2(line.contains("1 run,"), line.constData());
}

void FarendRelayTest::aNewOpenOfCom3IsANewRunAndTheTargetGoingAwayHangsUpCom3()
{
    Peer echo(QStringLiteral(FAREND_BINARY), {"--listen", "127.0.0.1:0"});
    const QString at = listeningAt(echo);
    QVERIFY2(!at.isEmpty(), echo.errSoFar().constData());
    const QString com3 = dir.filePath("COM3");
    Peer relay(QStringLiteral(FAREND_BINARY), {"--relay", at, "--link", com3});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    for (int run = 0; run < 2; ++run) {
        const int fd = openAsTester(com3);
        QVERIFY(fd >= 0);
        QCOMPARE(exchange(fd, 3, 30), QByteArray("012"));
        close(fd);
        QTest::qWait(100);
    }
    const int fd = openAsTester(com3);
    echo.stop();   // the device server goes away
    QVERIFY(relay.p.waitForFinished(10000));
    char c = '0';
    QVERIFY(write(fd, &c, 1) < 0 || read(fd, &c, 1) <= 0);   // the tester's port fails
    close(fd);
    QCOMPARE(relay.status(), 1);
    const QByteArray err = relay.stop();
    QVERIFY2(err.contains("farend: " + at.toLatin1() + " closed the connection: " + QFile::encodeName(com3) +
                          " hung up\n"),
             err.constData());
    QVERIFY2(err.contains("received 6 bytes, sent 6 bytes") && err.contains("test cycle exact") &&
                 err.contains("3 runs, echoed 6, lost 0"),
             err.constData());
    QVERIFY(!QFileInfo(com3).isSymLink());   // the link goes with COM3
}

void FarendRelayTest::badInputEndsWithStatus2AndOneLine()
{
    const QString link = dir.filePath("COM3");
    const QString taken = dir.filePath("taken");
    QFile(taken).open(QIODevice::WriteOnly);
    const struct {
        QStringList args;
        QByteArray err;
    } cases[] = {
        {{"--relay", "127.0.0.1:1", "--link", link},
         "farend: cannot connect to 127.0.0.1:1: Connection refused\n"},
        {{"--relay", "/dev/farend-no-such-device", "--link", link},
         "farend: /dev/farend-no-such-device: no such device\n"},
        {{"--relay", taken, "--link", link},
         "farend: " + QFile::encodeName(taken) + " is not a serial terminal\n"},
        {{"--relay", "127.0.0.1:1", "--link", taken},
         "farend: " + QFile::encodeName(taken) + " exists already\n"},
        {{"--relay", "nowhere", "--link", link},
         "farend: --relay needs a device path, HOST:PORT or rfc2217://HOST:PORT, not "
         "\"nowhere\"\n"},
        {{"--relay", "127.0.0.1:1", "--drop", "5"},
         "farend: --relay measures the real chain and changes nothing on it: --latency, "
         "--paced, --drop, --corrupt, --silent, --wrong-baud and --hangup-after belong to the "
         "far end\nTry 'farend --help'.\n"},
        {{"--listen", "0", "--link", link},
         "farend: --link goes with --relay only\nTry 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "--", "true"},
         "farend: --relay serves until interrupted and runs no command\nTry 'farend --help'.\n"},
    };
    for (const auto &c : cases) {
        QProcess p;
        p.start(QStringLiteral(FAREND_BINARY), c.args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.readAllStandardError(), c.err);
        QCOMPARE(p.exitCode(), 2);
    }
    QVERIFY(!QFileInfo::exists(link));

    // a raw TCP peer that never answers the offer of COM Port Control
    Peer silent(QStringLiteral(FAREND_BINARY), {"--listen", "127.0.0.1:0", "--silent"});
    const QString at = listeningAt(silent);
    QVERIFY2(!at.isEmpty(), silent.errSoFar().constData());
    QProcess p;
    p.start(QStringLiteral(FAREND_BINARY), {"--relay", "rfc2217://" + at, "--link", link});
    QVERIFY(p.waitForFinished(15000));
    QCOMPARE(p.readAllStandardError(),
             "farend: " + at.toLatin1() + " did not answer the offer of COM Port Control "
                        "(RFC 2217): is it a telnet(rfc2217) port?\n");
    QCOMPARE(p.exitCode(), 2);
}

QTEST_GUILESS_MAIN(FarendRelayTest)
#include "test_farend_relay.moc"
