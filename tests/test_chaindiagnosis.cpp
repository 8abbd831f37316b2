// The chain's faults recognised on real peers over loopback: a far device behind ser2net on a
// socat pty pair, either the bit-level UART model written apart from farend
// (tests/support/uartdevice.py: a far device or a device server's port at any rate and format)
// or farend's own far end, the test playing the tester over raw TCP and feeding what passes to
// the recogniser; and the LAN's part of the round trip from the kernel.
#include "farend/diagnosis/recogniser.h"
#include "farend/figures/timesplit.h"
#include "farend/kernel/tcpinfo.h"

#include "tests/support/freeport.h"
#include "testcycle/testcycle.h"

#include <QtTest>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void stop(QProcess &p)
{
    if (p.state() != QProcess::NotRunning) {
        p.terminate();
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
}

// ser2net (raw TCP) on one end of a socat pty pair, and on the other `far` with its arguments,
// "{}" standing for the pty: farend --port or the UART model.
class Chain {
public:
    Chain(const QString &ser2net, const QStringList &farArgs, const QString &far = FAREND_BINARY)
    {
        const QString side = dir.filePath("side"), end = dir.filePath("far");
        pair.start("socat", {"pty,link=" + side + ",rawer", "pty,link=" + end + ",rawer"});
        for (int i = 0; i < 200 && !(QFileInfo::exists(side) && QFileInfo::exists(end)); ++i)
            QTest::qWait(50);
        farend.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args = farArgs;
        args.replaceInStrings("{}", end);
        farend.start(far, args);
        port = freePort();
        const QString config = dir.filePath("raw.yaml");
        QFile f(config);
        f.open(QIODevice::WriteOnly);
        f.write(QStringLiteral("%YAML 1.1\n---\nconnection: &c\n  accepter: tcp,127.0.0.1,%1\n"
                               "  connector: serialdev,%2,9600n81,local\n")
                    .arg(port)
                    .arg(side)
                    .toUtf8());
        f.close();
        server.start(ser2net, {"-n", "-c", config, "-P", config + ".pid"});
        // ser2net gives no sign that it listens: try until it takes the connection
        for (int i = 0; i < 100 && sock < 0; ++i) {
            sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                close(sock);
                sock = -1;
                QTest::qWait(100);
            }
        }
        // each byte goes at once, as the tester's: Nagle would hold a byte sent while the one
        // before waits for its acknowledgement, and bunch bytes the far end must see apart
        const int one = 1;
        if (sock >= 0)
            setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        QTest::qWait(far == FAREND_BINARY ? 300 : 800);   // the far end has opened its side
    }
    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;
    ~Chain()
    {
        if (sock >= 0)
            close(sock);
        stop(server);
        stop(farend);
        stop(pair);
    }

    // The tester's exchange: one byte of the cycle every `periodMs`, everything that comes back
    // handed to `m` with its time; then reads until the line is quiet.
    void exchange(MappingRecogniser &m, int count, int periodMs)
    {
        char buf[4096];
        for (int i = 0; i < count + 30; ++i) {
            const double sentAt = nowMs();
            const char c = testcycle::at(i);
            if (i < count) {
                if (write(sock, &c, 1) != 1)
                    break;
                m.sent(static_cast<unsigned char>(c), sentAt);
            }
            for (double left = periodMs; left > 0; left = sentAt + periodMs - nowMs()) {
                pollfd p{sock, POLLIN, 0};
                if (poll(&p, 1, int(left) + 1) <= 0)
                    continue;
                const ssize_t n = read(sock, buf, sizeof buf);
                if (n <= 0)
                    return;
                const double at = nowMs();
                for (ssize_t k = 0; k < n; ++k)
                    m.replied(static_cast<unsigned char>(buf[k]), at);
            }
        }
    }

    // Each byte of the cycle waits for its echo (at most `guardMs`, against a hang); the round
    // trips of those that came back.
    std::vector<double> pingPong(int count, double guardMs = 5000)
    {
        std::vector<double> trips;
        for (int i = 0; i < count; ++i) {
            const char c = testcycle::at(i);
            const double sentAt = nowMs();
            if (write(sock, &c, 1) != 1)
                break;
            char got = 0;
            while (got != c && nowMs() < sentAt + guardMs) {
                pollfd p{sock, POLLIN, 0};
                if (poll(&p, 1, 100) > 0 && read(sock, &got, 1) != 1)
                    return trips;
            }
            if (got == c)
                trips.push_back(nowMs() - sentAt);
            QTest::qSleep(5);   // the line idle between bytes, as the tester's period leaves it
        }
        return trips;
    }

    QTemporaryDir dir;
    QProcess pair, farend, server;
    quint16 port = 0;
    int sock = -1;
};
} // namespace

namespace {
QString uartDevice()
{
    return QStringLiteral(TESTS_SOURCE_DIR "/support/uartdevice.py");
}

// What the recogniser names after `count` bytes of the cycle every 10 ms through the chain.
QString named(const QString &ser2net, const QStringList &far, const QString &program,
              int count = 180)
{
    Chain chain(ser2net, far, program);
    if (chain.sock < 0)
        return "no connection";
    MappingRecogniser m;
    chain.exchange(m, count, 10);
    const auto r = m.recogniseRun();
    return r ? QString::fromStdString(r->code() + ": " + mappingText(*r)) : QString("nothing");
}
} // namespace

class ChainDiagnosisTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void aFarDeviceModelledApartIsNamed_data();
    void aFarDeviceModelledApartIsNamed();
    void farendsOwnFarEndsAreNamed_data();
    void farendsOwnFarEndsAreNamed();
    void theRoundTripBehindSer2netSplitsIntoLanWireAndRest();

private:
    QString ser2net;
};

void ChainDiagnosisTest::initTestCase()
{
    ser2net = QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/bin", "/sbin"});
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
}

void ChainDiagnosisTest::aFarDeviceModelledApartIsNamed_data()
{
    QTest::addColumn<QStringList>("settings");   // the model's --device / --port
    QTest::addColumn<int>("runs");               // with different clock phases: one name
    QTest::addColumn<QString>("words");          // how the recogniser's words start
    const QString twins = "wrong-speed: the far device at 19200 baud (the frame format does not "
                          "show), or the device server's port at 4800 baud";
    QTest::newRow("7E1 at 9600") << QStringList{"--device", "9600,7E1"} << 1
                                 << "wrong-format: the far device at 9600 7E1 or 7E2";
    QTest::newRow("6N1 at 9600") << QStringList{"--device", "9600,6N1"} << 1
                                 << "wrong-format: the far device at 9600 6N1";
    // odd parity at the tester's speed changes no byte on a pty: nothing to name
    QTest::newRow("8O1 at 9600") << QStringList{"--device", "9600,8O1"} << 1 << "nothing";
    QTest::newRow("31250") << QStringList{"--device", "31250,8N1"} << 1
                           << "wrong-speed: the far device at about 31 250 baud";
    QTest::newRow("7200") << QStringList{"--device", "7200,8N1"} << 1
                          << "wrong-speed: the far device at about 7 200 baud";
    QTest::newRow("device 19200") << QStringList{"--device", "19200,8N1"} << 2 << twins;
    QTest::newRow("port 4800") << QStringList{"--port", "4800,8N1"} << 2 << twins;
    QTest::newRow("device 115200, echoes back to back")
        << QStringList{"--device", "115200,8N1"} << 2
        << "wrong-speed: the far device at 57600 or 115200 baud";
    QTest::newRow("port 57600") << QStringList{"--port", "57600,8N1"} << 2
                                << "wrong-speed: the device server's port at 57600 8N1";
    QTest::newRow("clean") << QStringList{} << 1 << "nothing";
}

void ChainDiagnosisTest::aFarDeviceModelledApartIsNamed()
{
    QFETCH(QStringList, settings);
    QFETCH(int, runs);
    QFETCH(QString, words);
    for (int run = 1; run <= runs; ++run) {
        const QString got = named(ser2net, QStringList{uartDevice(), "{}", "--seed",
                                                       QString::number(run)} + settings,
                                  "python3");
        QVERIFY2(got.startsWith(words), qPrintable(QString("run %1: %2").arg(run).arg(got)));
    }
}

void ChainDiagnosisTest::farendsOwnFarEndsAreNamed_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("words");
    for (int r : {2400, 115200})
        QTest::newRow(qPrintable("--wrong-baud " + QString::number(r)))
            << QStringList{"--wrong-baud", QString::number(r)}
            << QString("wrong-speed: a far end reading at %1").arg(r);
    QTest::newRow("--far-device 9600,7O1") << QStringList{"--far-device", "9600,7O1"}
                                           << "wrong-format: the far device at 9600 7O1";
    QTest::newRow("--server-port 57600,8N1") << QStringList{"--server-port", "57600,8N1"}
                                             << "wrong-speed: the device server's port at 57600";
    // a third of the replies with a bit flipped: noise, no setting
    QTest::newRow("--corrupt 30") << QStringList{"--corrupt", "30"} << "nothing";
}

void ChainDiagnosisTest::farendsOwnFarEndsAreNamed()
{
    QFETCH(QStringList, options);
    QFETCH(QString, words);
    const QString got = named(ser2net, QStringList{"--port", "{}"} + options, FAREND_BINARY);
    QVERIFY2(got.startsWith(words), qPrintable(got));
}

void ChainDiagnosisTest::theRoundTripBehindSer2netSplitsIntoLanWireAndRest()
{
    Chain chain(ser2net, {"--port", "{}", "--latency", "3"});
    QVERIFY(chain.sock >= 0);
    std::vector<double> trips = chain.pingPong(100);
    QCOMPARE(trips.size(), std::size_t(100));
    std::sort(trips.begin(), trips.end());
    const double median = trips[trips.size() / 2];
    const auto lan = readLanRtt(chain.sock);
    QVERIFY(lan.has_value());
    QVERIFY(lan->smoothedMs > 0 && lan->minMs > 0 && lan->minMs <= lan->smoothedMs + 0.01);
    // the smoothed estimate takes in the far end's time whenever the acknowledgement rides on
    // the echo: the minimum is the LAN's own
    const TimeSplit split = splitRoundTrip(median, lan->minMs, wireTimeMs(9600, 10));
    QVERIFY(split.restMs >= 0);
    // the figures, for the reader; the durations themselves are measured by a bench
    qInfo("round trip median %.3f ms: LAN %.3f ms (min %.3f), wire %.3f ms, rest %.3f ms",
          median, lan->smoothedMs, lan->minMs, split.wireMs, split.restMs);
}

QTEST_GUILESS_MAIN(ChainDiagnosisTest)
#include "test_chaindiagnosis.moc"
