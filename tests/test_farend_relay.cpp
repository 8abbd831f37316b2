// farend --relay on real peers over loopback: ser2net as the device server (raw and RFC 2217)
// on one end of a socat pty pair, `farend --port` echoing on the other, the test playing the
// tester on the relay's COM3; and what the relay refuses.
#include "looptest/layout.h"
#include "tests/support/fdio.h"
#include "tests/support/freeport.h"
#include "tests/support/testbed.h"
#include "tests/support/xsession.h"
#include "testcycle/testcycle.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray testCycle(testcycle::kChars, testcycle::kLength);

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
        out += p.readAllStandardOutput();
        return err;
    }
    QByteArray errSoFar()
    {
        err += p.readAllStandardError();
        return err;
    }
    QByteArray outSoFar()
    {
        out += p.readAllStandardOutput();
        return out;
    }
    // Waits until `done` holds of what the peer wrote so far; false when it did not within 20 s
    // or the peer ended without it.
    bool waitUntil(const std::function<bool()> &done)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            errSoFar();
            outSoFar();
            if (done())
                return true;
            if (t.elapsed() > 20000 || p.state() == QProcess::NotRunning)
                return false;
            p.waitForReadyRead(100);
        }
    }
    int status() const { return p.exitCode(); }
    QProcess p;
    QByteArray err, out;
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

// A short run of the tester: COM3 opened, `count` bytes of the cycle sent and every reply read
// until the line is quiet, COM3 closed; what it read ("no COM3" when it could not open it).
QByteArray shortRun(const QString &com3, int count = 3)
{
    const int fd = openAsTester(com3);
    if (fd < 0)
        return "no COM3";
    QByteArray got = exchange(fd, count, 20);
    got += readUntilQuiet(fd, 300);   // an echo slowed by a busy machine still counts
    close(fd);
    return got;
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

// The rows of the interval lines: sent, echoed, lost, changed, extra; every line under 80
// columns.
struct IntervalSums {
    long long sent = 0, echoed = 0, lost = 0, changed = 0, extra = 0;
    int rows = 0, quiet = 0, wide = 0;
};
IntervalSums sumIntervalLines(const QByteArray &out)
{
    const QRegularExpression row(QStringLiteral(
        "^ +[0-9.]+ +(\\d+) +(\\d+) +(\\d+) +(\\d+) +(\\d+) +([0-9.]+|-) +([0-9.]+|-) "
        "+([0-9.]+|-) +([0-9.]+%|-) +(\\d+|-) +(\\d+|-)$"));
    IntervalSums sums;
    int width = -1;
    for (const QByteArray &line : out.split('\n')) {
        sums.wide += line.size() >= 80;
        const auto m = row.match(QString::fromLatin1(line));
        if (m.hasMatch()) {
            sums.sent += m.captured(1).toLongLong();
            sums.echoed += m.captured(2).toLongLong();
            sums.lost += m.captured(3).toLongLong();
            sums.changed += m.captured(4).toLongLong();
            sums.extra += m.captured(5).toLongLong();
            // the columns stay put: every row as wide as the first
            if (width < 0)
                width = int(line.size());
            sums.rows += line.size() == width ? 1 : -1000;
        } else if (line.contains(" no traffic")) {
            ++sums.quiet;
        }
    }
    return sums;
}

// The stream's records, each line parsed on its own; an unparsable line gives an empty list.
QList<QJsonObject> streamRecords(const QByteArray &stream)
{
    QList<QJsonObject> records;
    for (const QByteArray &line : stream.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument d = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !d.isObject())
            return {};
        records.append(d.object());
    }
    return records;
}

// The far end's totals: the first line of its summary block.
QByteArray totalsLine(const QByteArray &err)
{
    for (const QByteArray &line : err.split('\n'))
        if (line.startsWith("farend: received"))
            return line;
    return err;
}

QByteArray readAllOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

long long figure(const QByteArray &line, const char *pattern)
{
    const auto m = QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromLatin1(line));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

// The summary block with its wrapped lines joined again, so that a phrase can be looked for.
QByteArray unwrapped(QByteArray block)
{
    return block.replace("\n    ", " ");
}

// The codes of a report's or a record's verdicts.
QStringList verdictCodes(const QJsonObject &o)
{
    QStringList codes;
    for (const QJsonValue &v : o["verdicts"].toArray())
        codes << v.toObject()["code"].toString();
    return codes;
}

// The verdicts that name a fault of the chain: without "clean", without "late", which a busy
// machine may give any run, and without "early", which a chain with no serial line in it (a
// pseudo-terminal pair, the scripted server) rightly gives.
QStringList faults(const QJsonObject &o)
{
    QStringList codes = verdictCodes(o);
    for (const char *none : {"clean", "late", "early"})
        codes.removeAll(QString::fromLatin1(none));
    return codes;
}

// The relay's peak resident memory (VmHWM) in KiB, read before it ends; -1 when gone.
long long peakResidentKib(const Peer &peer)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(peer.p.processId()));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// What holds the relay's memory whatever a device server does: the replies COM3 has not taken
// (1 MiB), data before the answer to COM Port Control (1 MiB), the RFC 2217 client's queues
// (80 KiB), with the program itself; 990 MB were seen before the bounds.
constexpr long long kRelayPeakKib = 24 * 1024;

// A run of the real relay against the scripted RFC 2217 server in `scenario`: the tester opens
// COM3 `opens` times and sends `bytes` bytes of the cycle each time, reading every reply.
struct ScriptedRun {
    QByteArray err;         // the relay's standard error: the summary block
    QJsonObject report;     // its --report
    QByteArray requests;    // what the server was asked, one line a request
    long long peakKib = -1;
    int status = -1;
    QByteArray got;         // what the tester read
};

ScriptedRun runScripted(const QString &dirPath, const QString &scenario, int bytes, int opens = 1,
                        bool slowReader = false, const QStringList &relayArgs = {})
{
    ScriptedRun run;
    QProcess server;
    const QString log = dirPath + "/" + scenario + ".requests";
    server.setStandardErrorFile(log);
    server.start(QStringLiteral("python3"), {QStringLiteral(RFC2217_SERVER_SCRIPT), scenario});
    if (!server.waitForStarted(10000) || !server.waitForReadyRead(10000))
        return run;
    const QString port = QString::fromLatin1(server.readLine().trimmed());
    const QString com3 = dirPath + "/COM3-" + scenario;
    const QString report = dirPath + "/" + scenario + ".json";
    QFile::remove(report);
    Peer relay(QStringLiteral(FAREND_BINARY), QStringList{"--relay", "rfc2217://127.0.0.1:" + port,
                                                          "--link", com3, "--report", report,
                                                          "--interval", "0"} +
                                                  relayArgs);
    QElapsedTimer t;
    t.start();
    while (!QFileInfo::exists(com3) && relay.p.state() != QProcess::NotRunning &&
           t.elapsed() < 10000)
        QTest::qWait(50);
    for (int i = 0; i < opens && QFileInfo::exists(com3); ++i) {
        const int fd = openAsTester(com3);
        if (fd < 0)
            break;
        if (slowReader) {   // one byte sent, then one byte read a tick, as the tester does
            run.got += exchange(fd, 1, 10);
            for (int tick = 0; tick < 150; ++tick) {
                char c;
                QTest::qWait(10);
                if (read(fd, &c, 1) == 1)
                    run.got += c;
            }
        } else {
            run.got += exchange(fd, bytes, 20);
            run.got += readUntilQuiet(fd, 300);
        }
        close(fd);
        QTest::qWait(100);
    }
    run.peakKib = peakResidentKib(relay);
    run.err = relay.stop();
    run.status = relay.status();
    run.report = QJsonDocument::fromJson(readAllOf(report)).object();
    server.terminate();
    server.waitForFinished(5000);
    run.requests = readAllOf(log);
    return run;
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
    void exitStatusSaysWhetherTheChainWasClean_data();
    void exitStatusSaysWhetherTheChainWasClean();
    void theStreamOnStandardOutputSendsTheLinesToStandardErrorAndSigusr1TheSummary();
    void badInputEndsWithStatus2AndOneLine();
    void theDeviceServersNameLineErrorsAndModemLinesAreCounted();
    void eachNewRunPurgesTheDeviceServersBuffers();
    void aSuspendedFlowHoldsTheDataAndCountsTheTime();
    void quirksStillCarryTheDataAndAreNamed_data();
    void quirksStillCarryTheDataAndAreNamed();
    void aMisbehavingServerKeepsTheRelayWithinItsMemoryBound_data();
    void aMisbehavingServerKeepsTheRelayWithinItsMemoryBound();
    void theSameServerGivesTheSameExitStatusEveryTime_data();
    void theSameServerGivesTheSameExitStatusEveryTime();
    void ser2netOnAPtySaysWhatItDidNotReport();
    void aFarEndAtAWrongSpeedIsNamedByTheRelay_data();
    void aFarEndAtAWrongSpeedIsNamedByTheRelay();
    void theRoundTripSplitsIntoLanWireAndTheRest();
    void aSerialTargetWithoutCountersSaysTheDriverDidNotReport();
    void aRunStartsWhenTheTesterOpensCom3AndOnlyThen();
    void aRunAfterReconnectingStartsOnlyWithTheTesterToo();
    void everyEndLeavesTheSummaryReportStreamAndStatus_data();
    void everyEndLeavesTheSummaryReportStreamAndStatus();
    void aLinkLeftByAKilledRelayIsReplacedAndALiveOneRefused();
    void aTelnetPortRelayedRawIsNamedAndAnEchoIsNoRfc2217Server();

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
    const QString stream = dir.filePath("relay.jsonl");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", target, "--link", com3, "--report", report, "--report-stream", stream,
                "--interval", "0.5", "--expect-clean"});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());

    const int fd = openAsTester(com3);
    QVERIFY(fd >= 0);
    // a last echo may come after the last byte's 10 ms: read until the line is quiet
    QByteArray got = exchange(fd, 200, 10);
    got += readUntilQuiet(fd);
    close(fd);
    const QByteArray summary = relay.stop();
    const QByteArray far = totalsLine(farend.stop());
    // replies were lost, and --expect-clean says so in its own status and in the summary
    QCOMPARE(relay.status(), 3);

    // what farend sent back is what the relay saw echoed; what it dropped, the relay lost
    const long long farSent = figure(far, "sent (\\d+) bytes");
    QVERIFY2(farSent > 100 && farSent < 200, far.constData());   // about 20% dropped
    const QJsonObject r = QJsonDocument::fromJson(readAllOf(report)).object();
    QCOMPARE(r["format"].toInt(), 4);
    QCOMPARE(r["sends"].toInt(), 200);
    QCOMPARE(r["echoed"].toInt(), int(farSent));
    QCOMPARE(r["lost"].toInt(), int(200 - farSent));
    QCOMPARE(r["changed"].toInt(), 0);
    QCOMPARE(r["extra"].toInt(), 0);
    QCOMPARE(r["clean"].toBool(), false);
    QCOMPARE(r["runs"].toInt(), 1);
    QCOMPARE(r["bytes"].toObject()["to_tester"].toInt(), int(got.size()));
    QCOMPARE(r["tester_timing"].toObject()["test_cycle"].toString(), QStringLiteral("exact"));
    // no far-end member that would mean something else here
    QVERIFY(!r.contains("received") && !r.contains("sent") && !r.contains("echoes_lost"));
    // every echo waited at least the far end's latency
    QVERIFY2(r["round_trip_ms"].toObject()["p50"].toDouble() >= 4.0, summary.constData());
    int binned = 0;
    for (const QJsonValue &bin : r["round_trip_histogram_ms"].toArray())
        binned += bin.toObject()["count"].toInt();
    QCOMPARE(binned, int(farSent));
    QVERIFY2(summary.contains(QByteArray("sends 200, echoes ") + QByteArray::number(farSent) +
                              ", lost " + QByteArray::number(200 - farSent)),
             summary.constData());
    QVERIFY2(summary.contains(QByteArray("not clean: ") + QByteArray::number(200 - farSent) +
                              " lost, 0 changed, 0 extra (exit status 3)"),
             summary.constData());

    // the interval lines add up to the totals, each under 80 columns
    const IntervalSums lines = sumIntervalLines(relay.out);
    QVERIFY2(lines.rows >= 3, relay.out.constData());   // 2 s at 0.5 s, all of one width
    QCOMPARE(lines.wide, 0);
    QCOMPARE(lines.sent, 200LL);
    QCOMPARE(lines.echoed, farSent);
    QCOMPARE(lines.lost, 200 - farSent);
    QCOMPARE(lines.changed + lines.extra, 0LL);
    QVERIFY2(relay.out.contains("run 1: the tester opened COM3 at 9600 8N1"),
             relay.out.constData());

    // and so does the stream, parsed a line at a time
    const QList<QJsonObject> records = streamRecords(readAllOf(stream));
    QVERIFY(records.size() >= 5);
    QCOMPARE(records.first()["type"].toString(), QStringLiteral("start"));
    QCOMPARE(records.last()["type"].toString(), QStringLiteral("end"));
    long long sends = 0, echoed = 0, lost = 0, runs = 0;
    for (const QJsonObject &o : records) {
        if (o["type"] == QStringLiteral("interval")) {
            sends += o["sends"].toInt();
            echoed += o["echoed"].toInt();
            lost += o["lost"].toInt();
        }
        runs += o["type"] == QStringLiteral("run");
    }
    QCOMPARE(sends, 200LL);
    QCOMPARE(echoed, farSent);
    QCOMPARE(lost, 200 - farSent);
    QCOMPARE(runs, 1LL);
    QCOMPARE(records.last()["echoed"].toInt(), int(farSent));
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
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB), tcflag_t(0));

    // a change while COM3 is open and no byte follows it reaches the server too
    termios mine{};
    tcgetattr(fd, &mine);
    cfsetspeed(&mine, B19200);
    tcsetattr(fd, TCSANOW, &mine);
    speed_t serverSpeed = 0;
    QElapsedTimer waited;
    waited.start();
    while (serverSpeed != B19200 && waited.elapsed() < 5000) {
        QTest::qWait(50);
        const int again =
            open(QFile::encodeName(server).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(again >= 0);
        termios now{};
        tcgetattr(again, &now);
        close(again);
        serverSpeed = cfgetospeed(&now);
    }
    QCOMPARE(serverSpeed, speed_t(B19200));
    close(fd);
    const QByteArray line = relay.stop();
    // ser2net on a pty acknowledges the settings but not the modem lines, and data still flows
    QVERIFY2(line.contains("device server (RFC 2217): port 19200 8N1; not acknowledged: DTR, RTS"),
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
    const QString report = dir.filePath("tester.json");
    Peer relay(QStringLiteral(FAREND_BINARY), {"--relay", "127.0.0.1:" + QString::number(port),
                                               "--link", com3, "--report", report});
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

    const QByteArray summary = relay.stop();
    const QByteArray far = totalsLine(farend.stop());
    const QJsonObject r = QJsonDocument::fromJson(readAllOf(report)).object();
    const long long sent = r["sends"].toInt();
    QVERIFY2(sent > 40, summary.constData());   // 1.5 s at 10 ms
    QCOMPARE(r["tester_timing"].toObject()["test_cycle"].toString(), QStringLiteral("exact"));
    QCOMPARE(r["echoed"].toInt(), int(sent));
    QCOMPARE(r["lost"].toInt(), 0);
    QCOMPARE(figure(far, "received (\\d+) bytes"), sent);
    QCOMPARE(r["runs"].toInt(), 1);
}

void FarendRelayTest::aNewOpenOfCom3IsANewRunAndTheTargetGoingAwayHangsUpCom3()
{
    Peer echo(QStringLiteral(FAREND_BINARY), {"--listen", "127.0.0.1:0"});
    const QString at = listeningAt(echo);
    QVERIFY2(!at.isEmpty(), echo.errSoFar().constData());
    const QString com3 = dir.filePath("COM3"), report = dir.filePath("gone.json");
    Peer relay(QStringLiteral(FAREND_BINARY), {"--relay", at, "--link", com3, "--report", report});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    for (int run = 0; run < 2; ++run) {
        const int fd = openAsTester(com3);
        QVERIFY(fd >= 0);
        QByteArray got = exchange(fd, 3, 30);
        got += readUntilQuiet(fd, 300);   // an echo slowed by a busy machine still counts
        QCOMPARE(got, QByteArray("012"));
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
    QVERIFY2(err.contains("farend: " + at.toLatin1() + " closed the connection: " +
                          QFile::encodeName(com3) + " hung up\n"),
             err.constData());
    QCOMPARE(QJsonDocument::fromJson(readAllOf(report)).object()["ended_by"].toString(),
             QStringLiteral("target closed"));
    QVERIFY2(err.contains("3 runs ---\nsends 6, echoes 6, lost 0 (0.00%), changed 0, extra 0\n") &&
                 err.contains("tester on the wire: 6 bytes, test cycle exact\n"),
             err.constData());
    // the last line says how the run ended, not that the chain was clean
    QCOMPARE(unwrapped(err).trimmed().split('\n').last(),
             QByteArray("the device server closed the connection after 6 echoes: nothing lost, "
                        "changed or extra (exit status 1)"));
    // each open of COM3 is marked where the interval lines go
    QVERIFY2(relay.out.contains("run 1: the tester") && relay.out.contains("run 3: the tester"),
             relay.out.constData());
    QVERIFY(!QFileInfo(com3).isSymLink());   // the link goes with COM3
}

void FarendRelayTest::exitStatusSaysWhetherTheChainWasClean_data()
{
    QTest::addColumn<QString>("chain");   // "clean", "lossy", or "idle": no tester at all
    QTest::addColumn<bool>("expectClean");
    QTest::addColumn<int>("status");
    QTest::newRow("clean chain") << "clean" << false << 0;
    QTest::newRow("clean chain, --expect-clean") << "clean" << true << 0;
    QTest::newRow("lossy chain") << "lossy" << false << 0;
    QTest::newRow("lossy chain, --expect-clean") << "lossy" << true << 3;
    QTest::newRow("nothing tested") << "idle" << false << 0;
    QTest::newRow("nothing tested, --expect-clean") << "idle" << true << 4;
}

void FarendRelayTest::exitStatusSaysWhetherTheChainWasClean()
{
    QFETCH(QString, chain);
    QFETCH(bool, expectClean);
    QFETCH(int, status);
    QStringList far{"--listen", "127.0.0.1:0"};
    if (chain == "lossy")
        far << "--drop" << "30";
    Peer echo(QStringLiteral(FAREND_BINARY), far);
    const QString at = listeningAt(echo);
    QVERIFY2(!at.isEmpty(), echo.errSoFar().constData());
    const QString com3 = dir.filePath("COM3");
    const QString report = dir.filePath("status.json");
    QStringList args{"--relay", at, "--link", com3, "--interval", "0", "--report", report};
    if (expectClean)
        args << "--expect-clean";
    Peer relay(QStringLiteral(FAREND_BINARY), args);
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    QByteArray got;
    if (chain != "idle") {
        const int fd = openAsTester(com3);
        QVERIFY(fd >= 0);
        got = exchange(fd, 36, 5);
        got += readUntilQuiet(fd);
        close(fd);
    }
    const QByteArray err = relay.stop();
    QCOMPARE(relay.status(), status);
    QCOMPARE(relay.out, QByteArray());   // --interval 0: no lines
    const QByteArray verdict = err.trimmed().split('\n').last();
    const QByteArray exit = expectClean ? " (exit status " + QByteArray::number(status) + ")" : "";
    const QJsonObject r = QJsonDocument::fromJson(readAllOf(report)).object();
    if (chain == "lossy") {
        QVERIFY2(got.size() < 36, got.constData());
        QVERIFY2(verdict == "not clean: " + QByteArray::number(36 - got.size()) +
                                " lost, 0 changed, 0 extra" + exit,
                 err.constData());
        QCOMPARE(r["outcome"].toString(), QStringLiteral("not clean"));
    } else if (chain == "idle") {
        QCOMPARE(verdict, "nothing tested: the tester sent nothing" + exit);
        QVERIFY(r["clean"].isNull());   // not measured, never true
        QCOMPARE(verdictCodes(r), QStringList{"idle"});
    } else {
        QCOMPARE(got, testCycle);
        QCOMPARE(verdict, QByteArray("clean: nothing lost, changed or extra"));
        QCOMPARE(r["clean"].toBool(), true);
    }
}

void FarendRelayTest::theStreamOnStandardOutputSendsTheLinesToStandardErrorAndSigusr1TheSummary()
{
    Peer echo(QStringLiteral(FAREND_BINARY), {"--listen", "127.0.0.1:0"});
    const QString at = listeningAt(echo);
    QVERIFY2(!at.isEmpty(), echo.errSoFar().constData());
    const QString com3 = dir.filePath("COM3");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", at, "--link", com3, "--report-stream", "-", "--interval", "0.2"});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    const int fd = openAsTester(com3);
    QVERIFY(fd >= 0);
    QByteArray got = exchange(fd, 36, 10);
    got += readUntilQuiet(fd);
    // SIGUSR1: the summary block so far, and the relay goes on
    kill(pid_t(relay.p.processId()), SIGUSR1);
    QElapsedTimer t;
    t.start();
    while (!relay.errSoFar().contains("clean: nothing lost") && t.elapsed() < 10000)
        relay.p.waitForReadyRead(100);
    QVERIFY2(relay.err.contains("sends 36, echoes 36, lost 0"), relay.err.constData());
    QCOMPARE(relay.p.state(), QProcess::Running);
    const char again = '0';
    QCOMPARE(write(fd, &again, 1), ssize_t(1));
    got += readUntilQuiet(fd);
    close(fd);
    const QByteArray err = relay.stop();
    QCOMPARE(got, testCycle + '0');
    // standard output holds nothing but the stream; the lines went to standard error
    const QList<QJsonObject> records = streamRecords(relay.out);
    QVERIFY2(records.size() >= 3, relay.out.constData());
    QCOMPARE(records.last()["echoed"].toInt(), 37);
    QCOMPARE(records.last()["clean"].toBool(), true);
    const IntervalSums lines = sumIntervalLines(err);
    QVERIFY2(lines.rows >= 1, err.constData());
    QCOMPARE(lines.echoed, 37LL);
    // after the traffic, the quiet read's intervals say so in a short line
    QVERIFY2(lines.quiet >= 1, err.constData());
}

void FarendRelayTest::badInputEndsWithStatus2AndOneLine()
{
    const QString link = dir.filePath("COM3");
    const QString taken = dir.filePath("taken");
    QFile(taken).open(QIODevice::WriteOnly);
    const QString elsewhere = dir.filePath("elsewhere");
    QFile::link(QStringLiteral("/nonexistent-farend-dir/COM3"), elsewhere);
    const QByteArray badInterval =
        "farend: option --interval needs 0 (no lines) or seconds from 0.1 to 86400\n"
        "Try 'farend --help'.\n";
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
         "farend: --relay needs a device path, HOST:PORT or rfc2217://HOST:PORT; \"nowhere\" has "
         "no port from 1 to 65535\n"},
        {{"--relay", "rfc2217://:4001", "--link", link},
         "farend: --relay needs a device path, HOST:PORT or rfc2217://HOST:PORT; \":4001\" has no "
         "host\n"},
        {{"--relay", "127.0.0.1:1", "--far-device", "31250,7E1"},
         "farend: --relay measures the real chain and changes nothing on it: --latency, "
         "--paced, --drop, --corrupt, --silent, --wrong-baud, --far-device, --server-port and "
         "--hangup-after belong to the far end\nTry 'farend --help'.\n"},
        {{"--port", "/dev/null", "--server-port", "31250,7E"},
         "farend: option --server-port needs RATE,FORMAT: a whole rate from 50 to 4000000 and a "
         "frame format such as 8N1 or 7E2 (data bits 5 to 8, parity N, E, O, M or S, stop bits 1 "
         "or 2)\nTry 'farend --help'.\n"},
        {{"--port", "/dev/null", "--wrong-baud", "4800", "--far-device", "4800,8N1"},
         "farend: --wrong-baud is a far end that answers as bytes: it does not go with "
         "--far-device or --server-port\nTry 'farend --help'.\n"},
        {{"--listen", "0", "--link", link},
         "farend: --link goes with --relay only\nTry 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "--", "true"},
         "farend: --relay serves until interrupted and runs no command\nTry 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "--interval", "often"},
         badInterval},
        {{"--relay", "127.0.0.1:1", "--interval", "-1"},
         badInterval},
        {{"--relay", "127.0.0.1:1", "--interval", "1e9"},
         badInterval},
        {{"--relay", "127.0.0.1:1", "--interval", "nan"},
         badInterval},
        {{"--relay", "127.0.0.1:1", "--interval", "0.001"},
         badInterval},
        {{"--relay", "127.0.0.1:1", "--interval"},
         badInterval},
        {{"--listen", "0", "--expect-clean"},
         "farend: --expect-clean goes with --relay only\nTry 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "--report", dir.filePath("same.json"), "--report-stream",
          dir.path() + "/./same.json"},
         "farend: --report and --report-stream name the same file: " +
             QFile::encodeName(dir.path()) + "/./same.json\nTry 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "--link", link, "--report", dir.filePath("kept.json"),
          "--report-stream", "/nonexistent-farend-dir/s.jsonl"},
         "farend: cannot write /nonexistent-farend-dir/s.jsonl: No such file or directory\n"},
        {{"--relay", "127.0.0.1:1", "--link", link, "--report", "/nonexistent-farend-dir/r.json"},
         "farend: cannot write /nonexistent-farend-dir/r.json: No such file or directory\n"},
        {{"--relay", "127.0.0.1:1", "--link", link, "--report", dir.filePath("kept.json"),
          "--report-stream", dir.filePath("kept.jsonl")},
         "farend: cannot connect to 127.0.0.1:1: Connection refused\n"},
        {{"--rel", "127.0.0.1:1", "--re", "x"},
         "farend: option --re is ambiguous\nTry 'farend --help'.\n"},
        // getopt_long takes an abbreviation that names one option
        {{"--rel", "127.0.0.1:1", "--expect", "--lin", link},
         "farend: cannot connect to 127.0.0.1:1: Connection refused\n"},
        {{"--relay", "127.0.0.1:1", "--expect-clean=yes"},
         "farend: option --expect-clean takes no value\nTry 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "stray"},
         "farend: unknown option stray\nTry 'farend --help'.\n"},
        // a link that leads nowhere, but not to a dead relay's terminal, is the user's
        {{"--relay", "127.0.0.1:1", "--link", elsewhere},
         "farend: " + QFile::encodeName(elsewhere) + " exists already\n"},
        {{"--relay", "127.0.0.1:1", "-c", "2.5"},
         "farend: option --count needs a whole number of sends from 1 to 1000000000000000\n"
         "Try 'farend --help'.\n"},
        {{"--listen", "0", "-t", "5"},
         "farend: --time goes with --relay only\nTry 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "--owner", "farend-no-such-user"},
         "farend: option --owner needs a user: no user \"farend-no-such-user\" here\n"
         "Try 'farend --help'.\n"},
        {{"--relay", "127.0.0.1:1", "--mode", "0888"},
         "farend: option --mode needs an octal mode from 0000 to 0777\nTry 'farend --help'.\n"},
        {{"--plot", "run.jsonl", "-i", "1"},
         "farend: --plot draws a relay's stream and takes --output only\n"
         "Try 'farend --help'.\n"},
        {{"-o", "run.svg"}, "farend: --output goes with --plot only\nTry 'farend --help'.\n"},
        {{"--plot", "/nonexistent-farend-dir/s.jsonl"},
         "farend: /nonexistent-farend-dir/s.jsonl: No such file or directory\n"},
        {{"-x"}, "farend: unknown option -x\nTry 'farend --help'.\n"},
    };
    for (const auto &c : cases) {
        QProcess p;
        p.start(QStringLiteral(FAREND_BINARY), c.args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.readAllStandardError(), c.err);
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
        QCOMPARE(p.exitCode(), 2);
    }
    QVERIFY(!QFileInfo::exists(link));
    // nothing is left half-written by a farend that refused to start
    QVERIFY(!QFileInfo::exists(dir.filePath("kept.json")));
    QVERIFY(!QFileInfo::exists(dir.filePath("kept.jsonl")));
    QVERIFY(!QFileInfo::exists(dir.filePath("same.json")));

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

void FarendRelayTest::theDeviceServersNameLineErrorsAndModemLinesAreCounted()
{
    const QByteArray sent = testCycle.left(20);
    {
        const ScriptedRun run = runScripted(dir.path(), "standard", 20);
        QCOMPARE(run.got, sent);
        const QJsonObject d = run.report["device_server"].toObject();
        QCOMPARE(d["signature"].toString(), QStringLiteral("scripted 1.0"));
        const QJsonObject l = d["line_errors"].toObject();
        QCOMPARE(l["framing"].toInt(-1) + l["parity"].toInt(-1) + l["overrun"].toInt(-1) +
                     l["break"].toInt(-1),
                 0);   // reported, and none: zeros only where the server answered
        QCOMPARE(d["modem_lines"].toObject()["changes"].toInt(-1), 0);
        QCOMPARE(faults(run.report), QStringList{});
        QVERIFY2(unwrapped(run.err).contains("name \"scripted 1.0\"; line errors framing 0, "
                                             "parity 0, overrun 0, break 0"),
                 run.err.constData());
    }
    {
        // a framing and a parity error every 100 ms: each kind counted, the data carried
        const ScriptedRun run = runScripted(dir.path(), "linestate", 20);
        QCOMPARE(run.got, sent);
        const QJsonObject l = run.report["device_server"].toObject()["line_errors"].toObject();
        QVERIFY2(l["framing"].toInt() >= 2, qPrintable(QJsonDocument(l).toJson()));
        QCOMPARE(l["parity"].toInt(), l["framing"].toInt());
        QCOMPARE(l["overrun"].toInt(), 0);
        QCOMPARE(l["break"].toInt(), 0);
        QCOMPARE(run.report["echoed"].toInt(), 20);   // the counts are not changed by them
        const QStringList codes = verdictCodes(run.report);
        QVERIFY2(codes.contains("framing-errors") && codes.contains("parity-errors"),
                 qPrintable(codes.join(',')));
        QVERIFY2(unwrapped(run.err).contains("verdict: framing errors reported by the device "
                                             "server"),
                 run.err.constData());
    }
    {
        // six CTS changes after the first data, CTS and DSR up at the end
        const ScriptedRun run = runScripted(dir.path(), "modem", 20);
        QCOMPARE(run.got, sent);
        const QJsonObject m = run.report["device_server"].toObject()["modem_lines"].toObject();
        QCOMPARE(m["cts"].toInt(), 6);
        QCOMPARE(m["changes"].toInt(), 6);
        QCOMPARE(m["last_state"].toInt() & 0xf0, 0x30);
        QVERIFY(verdictCodes(run.report).contains("modem-lines"));
        QVERIFY2(unwrapped(run.err).contains("modem lines 6 changes (CTS 6, DSR 0, CD 0, RI 0), "
                                             "now CTS on DSR on CD off RI off"),
                 run.err.constData());
    }
}

void FarendRelayTest::eachNewRunPurgesTheDeviceServersBuffers()
{
    const ScriptedRun run = runScripted(dir.path(), "standard", 3, 3);
    QCOMPARE(run.got, testCycle.left(3).repeated(3));
    QCOMPARE(run.requests.count("request PURGE-DATA 03\n"), 3);   // both buffers, each open
    QCOMPARE(run.report["device_server"].toObject()["purges"].toInt(), 3);
    QCOMPARE(run.report["runs"].toInt(), 3);
}

void FarendRelayTest::aSuspendedFlowHoldsTheDataAndCountsTheTime()
{
    // the server suspends the flow at the first byte and resumes 300 ms later: what the tester
    // sent meanwhile waits in the relay and goes out after, nothing lost
    const ScriptedRun run = runScripted(dir.path(), "suspend", 10);
    QCOMPARE(run.got, testCycle.left(10));
    const QJsonObject d = run.report["device_server"].toObject();
    QCOMPARE(d["suspensions"].toInt(), 1);
    QVERIFY(d["suspended_s"].toDouble() > 0);
    QCOMPARE(run.report["lost"].toInt(), 0);
    QVERIFY2(run.err.contains("suspended 1 times for "), run.err.constData());
}

void FarendRelayTest::quirksStillCarryTheDataAndAreNamed_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("said");   // phrases of the summary block
    QTest::newRow("trailing NULs, SET-CONTROL fixed")
        << "quirks"
        << QStringList{"non-standard answers: baud rate as trailing NULs, data size as trailing "
                       "NULs, DTR as another value (1), RTS as another value (1)"};
    QTest::newRow("one-byte baud index")
        << "index" << QStringList{"port 9600 8N1", "baud rate as a one-byte index (8)"};
    QTest::newRow("other values") << "other" << QStringList{"answered otherwise: baud rate 9601"};
    QTest::newRow("answers nothing")
        << "silent"
        << QStringList{"name not reported by the device server; line errors not reported by the "
                       "device server; modem lines not reported by the device server",
                       "not acknowledged: baud rate, data size, parity, stop size"};
    QTest::newRow("unparsable reply")
        << "unparsable"
        << QStringList{"line errors framing 0, parity 0, overrun 0, break 0",
                       "2 replies not parsed (last: "};
    QTest::newRow("unknown bits")
        << "unknownbits" << QStringList{"line errors framing 1, parity 0, overrun 0, break 0"};
    QTest::newRow("signature asked again and again") << "askssignature" << QStringList{};
}

void FarendRelayTest::quirksStillCarryTheDataAndAreNamed()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, said);
    const ScriptedRun run = runScripted(dir.path(), scenario, 10);
    QCOMPARE(run.got, testCycle.left(10));
    QCOMPARE(run.report["echoed"].toInt(), 10);
    QCOMPARE(run.status, 0);
    const QByteArray block = unwrapped(run.err);
    for (const QString &phrase : said)
        QVERIFY2(block.contains(phrase.toLatin1()), qPrintable(phrase + "\n" + run.err));
    // a reply that cannot be parsed is never taken as a line error
    QVERIFY(!verdictCodes(run.report).contains("parity-errors"));
    // our name goes once, however often the server asks
    QVERIFY(run.requests.count("request SIGNATURE 666172656e64\n") <= 1);
}

void FarendRelayTest::aMisbehavingServerKeepsTheRelayWithinItsMemoryBound_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("slowReader");
    QTest::newRow("2.5 s of data before the answer") << "late" << false;
    QTest::newRow("subnegotiation without end") << "endless" << false;
    QTest::newRow("0xFF split across segments") << "split" << false;
    QTest::newRow("8 MiB flood, tester reads a byte a tick") << "flood" << true;
}

void FarendRelayTest::aMisbehavingServerKeepsTheRelayWithinItsMemoryBound()
{
    QFETCH(QString, scenario);
    QFETCH(bool, slowReader);
    const ScriptedRun run = runScripted(dir.path(), scenario, 10, 1, slowReader);
    qInfo("%s: the relay's peak resident memory %lld KiB", qPrintable(scenario), run.peakKib);
    QVERIFY2(run.peakKib > 0 && run.peakKib < kRelayPeakKib,
             qPrintable(QString::number(run.peakKib) + " KiB\n" + run.err));
    QCOMPARE(run.status, 0);
    if (slowReader) {
        // what COM3 could not take is counted as replies lost, never held without limit
        QVERIFY(run.report["bytes"].toObject()["not_taken_by_tester"].toDouble() > 1e6);
        QVERIFY2(run.got.size() > 50, qPrintable(QString::number(run.got.size())));
        return;
    }
    QCOMPARE(run.got, testCycle.left(10));
    QCOMPARE(run.report["echoed"].toInt(), 10);
    QCOMPARE(run.report["device_server"].toObject()["signature"].toString(),
             QStringLiteral("scripted 1.0"));
    if (scenario == "endless")
        QVERIFY(run.report["device_server"].toObject()["unparsed"].toInt() >= 1);
}

void FarendRelayTest::theSameServerGivesTheSameExitStatusEveryTime_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");   // on standard error, each time
    // every byte echoed, and line errors reported: not clean
    QTest::newRow("line errors reported") << "linestate" << 3 << "line errors: framing ";
    // COM Port Control never agreed, answers never read: refused at the start
    QTest::newRow("negotiation storm before the agreement")
        << "storm" << 2
        << "the device server does not read what it is sent: more than 16 KiB of answers to its "
           "negotiation are waiting";
    // agreed, then the same: the target failed, however the bytes fell into reads
    QTest::newRow("negotiation storm after the first data")
        << "stormlater" << 1 << "the device server does not read what it is sent";
    // 1 MiB of a subnegotiation discarded, none of it data: clean
    QTest::newRow("subnegotiation without end") << "endless" << 0 << "clean: nothing lost";
}

void FarendRelayTest::theSameServerGivesTheSameExitStatusEveryTime()
{
    QFETCH(QString, scenario);
    QFETCH(int, status);
    QFETCH(QString, said);
    for (int time = 0; time < 3; ++time) {
        const ScriptedRun run = runScripted(dir.path(), scenario, 10, 1, false, {"--expect-clean"});
        QVERIFY2(run.status == status && run.err.contains(said.toLatin1()),
                 qPrintable(QString("time %1, status %2:\n").arg(time).arg(run.status) + run.err));
        if (status == 2)
            QCOMPARE(run.err.count('\n'), 1);
        if (status == 1) {
            QCOMPARE(run.report["ended_by"].toString(), QStringLiteral("target failed"));
            QVERIFY2(unwrapped(run.err).trimmed().split('\n').last().startsWith(
                         "the connection to the device server failed after "),
                     run.err.constData());
        }
        if (scenario == "endless") {
            QCOMPARE(run.got, testCycle.left(10));
            const QJsonObject d = run.report["device_server"].toObject();
            QCOMPARE(d["abandoned_subnegotiations"].toInt(), 1);
            QCOMPARE(d["discarded_bytes"].toDouble(), 2.0 + 1024 * 1024);
        }
    }
}

void FarendRelayTest::ser2netOnAPtySaysWhatItDidNotReport()
{
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    const int port = freePort();
    QVERIFY(port > 0);
    auto s2n = startSer2net(ser2net, dir.path(), server, true, port);
    Peer farend(QStringLiteral(FAREND_BINARY), {"--port", device});
    const QString com3 = dir.filePath("COM3");
    const QString report = dir.filePath("ser2net.json");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", "rfc2217://127.0.0.1:" + QString::number(port), "--link", com3,
                "--report", report, "--interval", "0"});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    for (int run = 0; run < 2; ++run) {
        const int fd = openAsTester(com3);
        QVERIFY(fd >= 0);
        QByteArray got = exchange(fd, 10, 20);
        got += readUntilQuiet(fd, 300);
        QCOMPARE(got, testCycle.left(10));
        close(fd);
        QTest::qWait(100);
    }
    const QByteArray block = unwrapped(relay.stop());
    const QJsonObject d = QJsonDocument::fromJson(readAllOf(report)).object()["device_server"]
                              .toObject();
    // ser2net names itself, purges, and answers the masks with the state of its lines
    QCOMPARE(d["signature"].toString(), QStringLiteral("ser2net"));
    QCOMPARE(d["purges"].toInt(), 2);
    QVERIFY(d["line_errors"].isObject());
    QVERIFY2(block.contains("name \"ser2net\"") &&
                 block.contains("non-standard answers: line-state mask as a NOTIFY-LINESTATE, "
                                "modem-state mask as a NOTIFY-MODEMSTATE"),
             block.constData());
    // a pty has no modem lines: ser2net never answers DTR or RTS, and the summary says so
    QVERIFY2(block.contains("; not acknowledged: DTR, RTS name \"ser2net\""), block.constData());
    QCOMPARE(d["not_acknowledged"].toArray().size(), 2);
}

// The relay's report on a chain behind ser2net (RFC 2217) with `farend --port FARARGS` at its
// far end, after the tester sent `count` bytes every `periodMs`.
static QJsonObject reportBehindSer2net(const QString &ser2net, const QString &dirPath,
                                       const QString &server, const QString &device,
                                       const QStringList &farArgs, int count, int periodMs,
                                       QByteArray &summary)
{
    const int port = freePort();
    auto s2n = startSer2net(ser2net, dirPath, server, true, port);
    Peer farend(QStringLiteral(FAREND_BINARY), QStringList{"--port", device} + farArgs);
    const QString com3 = dirPath + "/COM3";
    const QString report = dirPath + "/behind-ser2net.json";
    QFile::remove(report);
    QFile::remove(report + "l");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", "rfc2217://127.0.0.1:" + QString::number(port), "--link", com3,
                "--report", report, "--report-stream", report + "l", "--interval", "1"});
    if (!waitForPath(com3))
        return {};
    const int fd = openAsTester(com3);
    exchange(fd, count, periodMs);
    readUntilQuiet(fd, 300);
    close(fd);
    summary = relay.stop();
    return QJsonDocument::fromJson(readAllOf(report)).object();
}

void FarendRelayTest::aFarEndAtAWrongSpeedIsNamedByTheRelay_data()
{
    QTest::addColumn<int>("rate");
    QTest::newRow("clean chain") << 0;
    for (int rate : {2400, 4800, 19200, 38400, 115200})
        QTest::newRow(qPrintable(QString::number(rate))) << rate;
}

void FarendRelayTest::aFarEndAtAWrongSpeedIsNamedByTheRelay()
{
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    QFETCH(int, rate);
    QByteArray summary;
    const QJsonObject r = reportBehindSer2net(
        ser2net, dir.path(), server, device,
        rate ? QStringList{"--wrong-baud", QString::number(rate)} : QStringList{}, 150, 10,
        summary);
    QVERIFY2(!r.isEmpty(), summary.constData());
    if (!rate) {
        QVERIFY2(r["speed_match"].isNull(), summary.constData());
        // ser2net's default accepter may hold echoes back on loopback (Nagle), which is named
        QStringList codes = faults(r);
        codes.removeAll(QStringLiteral("held-echoes"));
        QVERIFY2(codes.isEmpty(), qPrintable(faults(r).join(' ') + '\n' + summary));
        return;
    }
    // the format a far end reads in seldom shows in its replies; the rate does
    const QString named = QStringLiteral("a far end reading at %1").arg(rate);
    QVERIFY2(r["speed_match"].toString().startsWith(named), qPrintable(r["speed_match"].toString()));
    QCOMPARE(verdictCodes(r).first(), QStringLiteral("wrong-speed"));
    // the interval it showed in says so too, in the stream as a code
    bool inAnInterval = false;
    for (const QJsonObject &o : streamRecords(readAllOf(dir.filePath("behind-ser2net.jsonl"))))
        inAnInterval = inAnInterval || (o["type"] == QStringLiteral("interval") &&
                                        verdictCodes(o).contains("wrong-speed"));
    QVERIFY(inAnInterval);
    QVERIFY2(unwrapped(summary).contains("verdict: wrong speed: ") &&
                 unwrapped(summary).contains(named.toLatin1()),
             summary.constData());
}

void FarendRelayTest::theRoundTripSplitsIntoLanWireAndTheRest()
{
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    QByteArray summary;
    const QJsonObject r = reportBehindSer2net(ser2net, dir.path(), server, device,
                                              {"--latency", "3"}, 100, 20, summary);
    QVERIFY2(!r.isEmpty(), summary.constData());
    const QJsonObject split = r["time_split_ms"].toObject();
    const double median = split["median"].toDouble(), lan = split["lan"].toDouble(-1),
                 wire = split["wire"].toDouble(), rest = split["rest"].toDouble();
    qInfo("median %.3f ms = LAN %.3f (smoothed %.3f) + wire %.3f + rest %.3f", median, lan,
          split["lan_smoothed"].toDouble(), wire, rest);
    // the parts add up, each figure rounded to a microsecond
    QVERIFY(std::abs(lan + wire + rest - median) <= 0.003);
    // two 8N1 bytes at 9600 baud
    QCOMPARE(wire, 2.083);
    // the LAN is loopback; the far end's 3 ms is a floor under what lies behind the server
    QVERIFY2(lan >= 0 && lan < 1.0, qPrintable(QString::number(lan)));
    QVERIFY2(rest >= 3.0 && lan < rest, qPrintable(QString::number(rest)));
    QVERIFY2(unwrapped(summary).contains("estimated: LAN "), summary.constData());
}

void FarendRelayTest::aSerialTargetWithoutCountersSaysTheDriverDidNotReport()
{
    // the pty pair as the serial device: a pseudo-terminal has no error counters
    Peer farend(QStringLiteral(FAREND_BINARY), {"--port", device});
    const QString com3 = dir.filePath("COM3");
    const QString report = dir.filePath("serial.json");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", server, "--link", com3, "--report", report, "--interval", "0"});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    const int fd = openAsTester(com3);
    QVERIFY(fd >= 0);
    QByteArray got = exchange(fd, 10, 20);
    got += readUntilQuiet(fd, 300);
    close(fd);
    QCOMPARE(got, testCycle.left(10));
    const QByteArray block = unwrapped(relay.stop());
    const QJsonObject r = QJsonDocument::fromJson(readAllOf(report)).object();
    QCOMPARE(r["target_kind"].toString(), QStringLiteral("serial device"));
    QVERIFY(r["uart_counters"].isNull());   // never zeros
    QVERIFY2(block.contains("UART (serial device): line errors not reported by the driver\n"),
             block.constData());
    QCOMPARE(faults(r), QStringList{});
}

void FarendRelayTest::aRunStartsWhenTheTesterOpensCom3AndOnlyThen()
{
    QProcess server;
    const QString log = dir.filePath("open.requests");
    server.setStandardErrorFile(log);
    server.start(QStringLiteral("python3"), {QStringLiteral(RFC2217_SERVER_SCRIPT), "standard"});
    QVERIFY(server.waitForStarted(10000) && server.waitForReadyRead(10000));
    const QString port = QString::fromLatin1(server.readLine().trimmed());
    const QString com3 = dir.filePath("COM3");
    const QString stream = dir.filePath("open.jsonl");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", "rfc2217://127.0.0.1:" + port, "--link", com3, "--interval", "0.2",
                "--report-stream", stream});
    // intervals pass with no one on COM3: they say so, no run starts, nothing is purged
    QVERIFY2(relay.waitUntil([&] { return relay.out.count("no traffic (COM3 not open)") >= 2; }),
             relay.err.constData());
    QVERIFY2(!relay.out.contains("run 1: "), relay.out.constData());
    QVERIFY(!readAllOf(log).contains("PURGE-DATA"));

    QCOMPARE(shortRun(com3), QByteArray("012"));
    relay.stop();
    server.waitForFinished(5000);
    QCOMPARE(relay.status(), 0);
    QVERIFY2(relay.out.contains("run 1: the tester opened COM3 at 9600 8N1") &&
                 !relay.out.contains("run 2: "),
             relay.out.constData());
    QCOMPARE(readAllOf(log).count("request PURGE-DATA"), 1);
    // in the stream, every interval before the run had COM3 closed
    bool runSeen = false;
    int closedBefore = 0;
    for (const QJsonObject &o : streamRecords(readAllOf(stream))) {
        QVERIFY(!(runSeen && o["type"] == QStringLiteral("run")));
        runSeen = runSeen || o["type"] == QStringLiteral("run");
        if (!runSeen && o["type"] == QStringLiteral("interval")) {
            QCOMPARE(o["com3_open"].toBool(), false);
            ++closedBefore;
        }
    }
    QVERIFY(runSeen && closedBefore >= 2);
}

void FarendRelayTest::aRunAfterReconnectingStartsOnlyWithTheTesterToo()
{
    auto echo = std::make_unique<Peer>(QStringLiteral(FAREND_BINARY),
                                       QStringList{"--listen", "127.0.0.1:0"});
    const QString at = listeningAt(*echo);
    QVERIFY2(!at.isEmpty(), echo->errSoFar().constData());
    const QString com3 = dir.filePath("COM3");
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", at, "--link", com3, "--interval", "0.2", "--reconnect"});
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    echo.reset();   // the device server goes away, and comes back on its port
    QVERIFY2(relay.waitUntil([&] { return relay.err.contains("waiting for " + at.toLatin1()); }),
             relay.err.constData());
    echo = std::make_unique<Peer>(QStringLiteral(FAREND_BINARY), QStringList{"--listen", at});
    const QByteArray relaying = "relaying " + QFile::encodeName(com3) + " to " + at.toLatin1();
    QVERIFY2(relay.waitUntil([&] { return relay.err.contains(relaying + " again\n"); }),
             relay.err.constData());
    const qsizetype closed = relay.out.count("(COM3 not open)");
    QVERIFY(relay.waitUntil([&] { return relay.out.count("(COM3 not open)") >= closed + 2; }));
    QVERIFY2(!relay.out.contains("run 1: "), relay.out.constData());
    // SIGQUIT: one line of where it stands, and it goes on
    kill(pid_t(relay.p.processId()), SIGQUIT);
    const QRegularExpression waiting("\n[0-9]+\\.[0-9] s: waiting for the tester to open " +
                                     QRegularExpression::escape(com3) + "\n$");
    QVERIFY2(relay.waitUntil([&] { return waiting.match(QString::fromLatin1(relay.err)).hasMatch(); }),
             relay.err.constData());

    QCOMPARE(shortRun(com3), QByteArray("012"));
    relay.stop();
    QCOMPARE(relay.status(), 0);
    QVERIFY2(relay.out.contains("run 1: ") && !relay.out.contains("run 2: "),
             relay.out.constData());
    QVERIFY2(relay.err.contains(", 1 run ---\n"), relay.err.constData());
}

void FarendRelayTest::everyEndLeavesTheSummaryReportStreamAndStatus_data()
{
    QTest::addColumn<QString>("end");          // how the test ends the relay; empty: it ends
    QTest::addColumn<QStringList>("bound");    // options that end it by themselves
    QTest::addColumn<QString>("endedBy");      // what the report says of it
    QTest::newRow("SIGINT, SIGQUIT before it") << "SIGINT" << QStringList{} << "interrupted";
    QTest::newRow("SIGTERM") << "SIGTERM" << QStringList{} << "interrupted";
    QTest::newRow("SIGHUP: the terminal closed") << "SIGHUP" << QStringList{} << "interrupted";
    QTest::newRow("SIGPIPE: the lines' reader gone") << "SIGPIPE" << QStringList{}
                                                      << "interrupted";
    QTest::newRow("--time") << QString() << QStringList{"-t", "3"} << "time limit";
    QTest::newRow("--count") << QString() << QStringList{"-c", "12"} << "count reached";
}

void FarendRelayTest::everyEndLeavesTheSummaryReportStreamAndStatus()
{
    QFETCH(QString, end);
    QFETCH(QStringList, bound);
    QFETCH(QString, endedBy);
    Peer echo(QStringLiteral(FAREND_BINARY),
              {"--listen", "127.0.0.1:0", "--drop", "50", "--seed", "1"});
    const QString at = listeningAt(echo);
    QVERIFY2(!at.isEmpty(), echo.errSoFar().constData());
    const QString com3 = dir.filePath("COM3");
    const QString report = dir.filePath("end.json"), stream = dir.filePath("end.jsonl");
    QFile::remove(report);
    QFile::remove(stream);
    Peer relay(QStringLiteral(FAREND_BINARY),
               QStringList{"--relay", at, "-l", com3, "--report", report, "--report-stream",
                           stream, "-i", "0.1", "--expect-clean"} +
                   bound);
    QVERIFY2(waitForPath(com3), relay.errSoFar().constData());
    const int fd = openAsTester(com3);
    QVERIFY(fd >= 0);
    exchange(fd, 20, 10);   // with --count the relay ends on the way, and COM3 with it
    readUntilQuiet(fd, 300);
    const pid_t pid = pid_t(relay.p.processId());
    if (end == "SIGINT") {
        kill(pid, SIGQUIT);
        const QRegularExpression status("\n([0-9]+\\.[0-9] s: [0-9]+/20 echoed, [0-9]+ lost, 0 "
                                        "changed, 0 extra, p50 [0-9.]+ ms)\n$");
        QVERIFY2(relay.waitUntil([&] { return status.match(QString::fromLatin1(relay.err)).hasMatch(); }),
                 relay.err.constData());
        QVERIFY(status.match(QString::fromLatin1(relay.err)).captured(1).size() < 80);
        QCOMPARE(relay.p.state(), QProcess::Running);
    }
    if (!end.isEmpty())
        kill(pid, end == "SIGINT"    ? SIGINT
                  : end == "SIGTERM" ? SIGTERM
                  : end == "SIGHUP"  ? SIGHUP
                                     : SIGPIPE);
    QVERIFY(relay.p.waitForFinished(30000));
    close(fd);
    const QByteArray err = relay.stop(false);
    QCOMPARE(relay.p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(relay.status(), 3);
    const QJsonObject r = QJsonDocument::fromJson(readAllOf(report)).object();
    QVERIFY2(r["lost"].toInt() > 0, qPrintable(readAllOf(report)));
    QVERIFY2(err.trimmed().split('\n').last() ==
                 "not clean: " + QByteArray::number(r["lost"].toInt()) +
                     " lost, 0 changed, 0 extra (exit status 3)",
             err.constData());
    QCOMPARE(r["ended_by"].toString(), endedBy);
    const QList<QJsonObject> records = streamRecords(readAllOf(stream));
    QVERIFY(!records.isEmpty());
    QCOMPARE(records.last()["type"].toString(), QStringLiteral("end"));
    QCOMPARE(records.last()["ended_by"].toString(), endedBy);
    QVERIFY(!QFileInfo(com3).isSymLink());   // the link went with COM3
    if (bound.contains("-c")) {
        QVERIFY(r["echoed"].toInt() + r["lost"].toInt() >= 12);
        QVERIFY(r["sends"].toInt() <= 20);
    }
}

// Where the link at `path` leads, as it is written.
static QString linkTarget(const QString &path)
{
    char target[4096];
    const ssize_t n = readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return n > 0 ? QFile::decodeName(QByteArray(target, int(n))) : QString();
}

void FarendRelayTest::aLinkLeftByAKilledRelayIsReplacedAndALiveOneRefused()
{
    Peer echo(QStringLiteral(FAREND_BINARY), {"--listen", "127.0.0.1:0"});
    const QString at = listeningAt(echo);
    QVERIFY2(!at.isEmpty(), echo.errSoFar().constData());
    const QString com3 = dir.filePath("COM3");
    const QStringList args{"--relay", at, "--link", com3, "-i", "0"};
    // on a shared machine another program may take the dead terminal's number at once: tried
    // again then
    for (int attempt = 0; attempt < 3; ++attempt) {
        Peer first(QStringLiteral(FAREND_BINARY), args);
        QVERIFY2(waitForPath(com3), first.errSoFar().constData());
        const QString pty = linkTarget(com3);
        QVERIFY(pty.startsWith("/dev/pts/"));
        QProcess second;
        second.start(QStringLiteral(FAREND_BINARY), args);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.readAllStandardError(), "farend: " + QFile::encodeName(com3) +
                                                    " exists already\n");
        QCOMPARE(second.exitCode(), 2);

        first.p.kill();   // SIGKILL: the link stays, its terminal goes
        QVERIFY(first.p.waitForFinished(10000));
        QVERIFY(QFileInfo(com3).isSymLink());
        if (QFileInfo::exists(com3)) {
            QFile::remove(com3);
            continue;
        }
        Peer again(QStringLiteral(FAREND_BINARY), args);
        QVERIFY2(again.waitUntil([&] { return again.err.contains(" is /dev/pts/"); }),
                 again.err.constData());
        QVERIFY2(again.err.startsWith("farend: " + QFile::encodeName(com3) + " led to " +
                                      QFile::encodeName(pty) + ", which is gone: link replaced\n"),
                 again.err.constData());
        QCOMPARE(shortRun(com3), QByteArray("012"));
        again.stop();
        QCOMPARE(again.status(), 0);
        QVERIFY(!QFileInfo(com3).isSymLink());
        return;
    }
    QSKIP("the dead relay's terminal number was taken again at once, three times");
}

void FarendRelayTest::aTelnetPortRelayedRawIsNamedAndAnEchoIsNoRfc2217Server()
{
    const QString com3 = dir.filePath("COM3");
    {
        // an echo sends our offer of COM Port Control back as it was sent
        Peer echo(QStringLiteral(FAREND_BINARY), {"--listen", "127.0.0.1:0"});
        const QString at = listeningAt(echo);
        QVERIFY2(!at.isEmpty(), echo.errSoFar().constData());
        QProcess p;
        p.start(QStringLiteral(FAREND_BINARY), {"--relay", "rfc2217://" + at, "--link", com3});
        QVERIFY(p.waitForFinished(15000));
        QCOMPARE(p.readAllStandardError(),
                 "farend: " + at.toLatin1() + " echoes what it is sent: it is no RFC 2217 server\n");
        QCOMPARE(p.exitCode(), 2);
    }
    if (ser2net.isEmpty())
        QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
    const int port = freePort();
    QVERIFY(port > 0);
    auto s2n = startSer2net(ser2net, dir.path(), server, true, port);
    const QByteArray address = "127.0.0.1:" + QByteArray::number(port);
    Peer relay(QStringLiteral(FAREND_BINARY),
               {"--relay", QString::fromLatin1(address), "--link", com3, "-i", "0"});
    const QByteArray hint = "farend: " + address + " sent telnet negotiation: is it rfc2217://" +
                            address + "?\n";
    QVERIFY2(relay.waitUntil([&] { return relay.err.contains(hint); }), relay.err.constData());
    relay.stop();
    QCOMPARE(relay.err.count(hint), 1);
}

QTEST_GUILESS_MAIN(FarendRelayTest)
#include "test_farend_relay.moc"
