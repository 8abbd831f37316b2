// farend run as a process: serving a pseudo-terminal as a serial device, serving TCP as a
// device server, running a command on the mocked COM3, and refusing what it cannot serve.
#include "tests/support/fdio.h"
#include "tests/support/linecheck.h"
#include "tests/support/outcome.h"
#include "tests/support/ptypair.h"
#include "testcycle/testcycle.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

Outcome runFarend(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(FAREND_BINARY), args);
    return finish(p, 10000);
}

// farend serving until stopped; the first line it prints says it is ready.
class Farend {
public:
    explicit Farend(const QStringList &args)
    {
        p.setReadChannel(QProcess::StandardError);
        p.start(QStringLiteral(FAREND_BINARY), args);
        while (!p.canReadLine() && p.waitForReadyRead(10000)) {
        }
        ready = p.readLine();
    }
    ~Farend()
    {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    QByteArray ready;
    // SIGTERM, as a service manager stops it
    Outcome stop()
    {
        p.terminate();
        return ::finish(p, 10000);
    }
    Outcome finish() { return ::finish(p, 10000); }
    qint64 pid() const { return p.processId(); }
    // SIGUSR1: the summary so far
    QByteArray progress()
    {
        kill(pid_t(p.processId()), SIGUSR1);
        while (!p.canReadLine() && p.waitForReadyRead(10000)) {
        }
        return p.readLine();
    }

private:
    QProcess p;
};

// Whether the other side closed the connection within `timeoutMs` (nothing more is read).
bool closedByPeer(int fd, int timeoutMs = 2000)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    char c;
    return read(fd, &c, 1) == 0;
}

void sendSpaced(int fd, const QByteArray &bytes, int gapMs)
{
    for (char c : bytes) {
        writeAll(fd, QByteArray(1, c));
        QTest::qWait(gapMs);
    }
}

int connectTo(quint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The port in "farend: listening on 127.0.0.1:PORT".
quint16 listeningPort(const QByteArray &ready)
{
    const QByteArray prefix = "farend: listening on 127.0.0.1:";
    return ready.startsWith(prefix) ? ready.mid(prefix.size()).trimmed().toUShort() : 0;
}

// A figure in kB from /proc/PID/status ("VmRSS", "VmHWM"); -1 when it cannot be read.
long memoryKb(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field + ":"))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLong();
    return -1;
}

const QByteArray testCycle(testcycle::kChars, testcycle::kLength);

} // namespace

class FarendServeTest : public QObject {
    Q_OBJECT
private slots:
    void portEchoesEveryByteAndGivesTheSettingsBack();
    void portAppliesTheLineOptions_data();
    void portAppliesTheLineOptions();
    void portEndsWithStatus1WhenTheDeviceGoesAway();
    void portRefusesADeviceItCannotServe();
    void listenServesOneConnectionAtATime();
    void listenHangUpClosesTheConnectionAndTheNextIsANewLine();
    void listenRefusesAPortInUse();
    void listenStaysBoundedUnderAFloodAndServesTheNextConnection_data();
    void listenStaysBoundedUnderAFloodAndServesTheNextConnection();
    void mockedCom3RunsTheCommandAndReportsTheWireTiming();
    void optionsThatDoNotGoTogetherAreRefused_data();
    void optionsThatDoNotGoTogetherAreRefused();
};

void FarendServeTest::portEchoesEveryByteAndGivesTheSettingsBack()
{
    PtyPair pty;   // left with the kernel's defaults: echo, canonical mode, IXON, ICRNL
    const termios before = pty.settings();
    QVERIFY(before.c_lflag & ECHO);
    Farend farend({"--port", QString::fromStdString(pty.path)});
    QCOMPARE(farend.ready, "farend: serving on " + QByteArray::fromStdString(pty.path) + "\n");

    sendSpaced(pty.master, testCycle, 3);
    QCOMPARE(readSome(pty.master, testCycle.size()), testCycle);
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    writeAll(pty.master, all);
    QCOMPARE(readSome(pty.master, all.size()), all);

    const Outcome o = farend.stop();
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.status, 0);
    QVERIFY2(o.err.contains("received 292 bytes, sent 292 bytes"), o.err.constData());
    QVERIFY2(o.err.contains("test cycle broken at byte 37\n  period (ms): p50 "),
             o.err.constData());
    // a short block: the totals, the period's ladder, the long gaps, a histogram of ten rows
    QVERIFY2(o.err.count('\n') >= 4 && o.err.count('\n') <= 14, o.err.constData());
    for (const QByteArray &line : o.err.split('\n'))
        QVERIFY2(line.startsWith("farend: received") || line.size() < 80, line.constData());
    QCOMPARE(describe(pty.settings()), describe(before));
}

void FarendServeTest::portAppliesTheLineOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("bitsOff");
    QTest::addColumn<QByteArray>("summary");
    QTest::newRow("wrong baud") << QStringList{"--wrong-baud", "19200"} << QByteArray("0")
                                << QByteArray::fromHex("00f8") << 0
                                << QByteArray("received 1 bytes, sent 2 bytes");
    QTest::newRow("corrupt") << QStringList{"--corrupt", "100"} << QByteArray("0123")
                             << QByteArray("0123") << 1
                             << QByteArray("received 4 bytes, sent 4 bytes");
    QTest::newRow("drop") << QStringList{"--drop", "100"} << QByteArray("0123") << QByteArray()
                          << 0 << QByteArray("received 4 bytes, sent 0 bytes");
    // the line is dropped after the second answer; what comes later is counted, not answered
    QTest::newRow("hang-up") << QStringList{"--hangup-after", "2"} << QByteArray("0123")
                             << QByteArray("01") << 0
                             << QByteArray("received 4 bytes, sent 2 bytes");
}

void FarendServeTest::portAppliesTheLineOptions()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);
    QFETCH(int, bitsOff);
    QFETCH(QByteArray, summary);
    PtyPair pty;
    Farend farend(QStringList{"--port", QString::fromStdString(pty.path)} + options);
    QVERIFY(farend.ready.startsWith("farend: serving on"));
    sendSpaced(pty.master, sent, 30);
    const QByteArray got = readSome(pty.master, expected.size(), 3000);
    QCOMPARE(got.size(), expected.size());
    QCOMPARE(readSome(pty.master, 1, 200), QByteArray());   // and nothing more
    for (qsizetype i = 0; i < got.size(); ++i)
        QCOMPARE(__builtin_popcount(static_cast<unsigned char>(got[i] ^ expected[i])), bitsOff);
    const Outcome o = farend.stop();
    QCOMPARE(o.status, 0);
    QVERIFY2(o.err.contains(summary), o.err.constData());
}

void FarendServeTest::portEndsWithStatus1WhenTheDeviceGoesAway()
{
    PtyPair pty;
    Farend farend({"--port", QString::fromStdString(pty.path)});
    writeAll(pty.master, "0");
    QCOMPARE(readSome(pty.master, 1), QByteArray("0"));
    pty.hangUp();   // as a USB adapter pulled out
    const Outcome o = farend.finish();
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.status, 1);
    QVERIFY2(o.err.startsWith("farend: reading failed: the line hung up\n"
                              "farend: received 1 bytes, sent 1 bytes"),
             o.err.constData());
}

void FarendServeTest::portRefusesADeviceItCannotServe()
{
    QTemporaryDir dir;
    const QString report = dir.filePath("report.json");
    Outcome o = runFarend({"--port", "/dev/farend-no-such-device", "--report", report});
    QCOMPARE(o.err, QByteArray("farend: /dev/farend-no-such-device: no such device\n"));
    QCOMPARE(o.status, 2);
    QVERIFY(!QFile::exists(report));   // nothing was served: no report is left behind

    const QString plain = dir.filePath("plain");
    QFile file(plain);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    o = runFarend({"--port", plain});
    QCOMPARE(o.err, QByteArray("farend: " + plain.toLocal8Bit() + " is not a serial terminal\n"));
    QCOMPARE(o.status, 2);

    PtyPair pty;
    const int holder = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(flock(holder, LOCK_EX | LOCK_NB), 0);   // as the tester holds COM3
    o = runFarend({"--port", QString::fromStdString(pty.path)});
    close(holder);
    QCOMPARE(o.err, "farend: " + QByteArray::fromStdString(pty.path) +
                        " is held by another program\n");
    QCOMPARE(o.status, 2);
    QVERIFY(o.exitedNormally);
}

void FarendServeTest::listenServesOneConnectionAtATime()
{
    Farend farend({"--listen", "127.0.0.1:0"});
    const quint16 port = listeningPort(farend.ready);
    QVERIFY2(port, farend.ready.constData());

    const int first = connectTo(port);
    const int second = connectTo(port);   // waits in the backlog while the first is served
    QVERIFY(first >= 0 && second >= 0);
    sendSpaced(first, "01", 5);
    QCOMPARE(readSome(first, 2), QByteArray("01"));
    const QByteArray sofar = farend.progress();   // and it goes on serving
    QVERIFY2(sofar.startsWith("farend: received 2 bytes, sent 2 bytes"), sofar.constData());
    writeAll(second, "0");
    QCOMPARE(readSome(second, 1, 300), QByteArray());
    close(first);
    QCOMPARE(readSome(second, 1, 3000), QByteArray("0"));
    close(second);
    const int third = connectTo(port);
    writeAll(third, "0");
    QCOMPARE(readSome(third, 1, 3000), QByteArray("0"));
    close(third);

    const Outcome o = farend.stop();
    QCOMPARE(o.status, 0);
    // each connection is a new run of the cycle from "0"
    QVERIFY2(o.err.contains("received 4 bytes, sent 4 bytes"), o.err.constData());
    QVERIFY2(o.err.contains("test cycle exact"), o.err.constData());
}

void FarendServeTest::listenHangUpClosesTheConnectionAndTheNextIsANewLine()
{
    QTemporaryDir dir;
    const QString report = dir.filePath("wire.json");
    Farend farend({"--listen", "127.0.0.1:0", "--hangup-after", "1", "--wrong-baud", "19200",
                   "--report", report});
    const quint16 port = listeningPort(farend.ready);
    QVERIFY2(port, farend.ready.constData());
    for (int connection = 0; connection < 2; ++connection) {
        const int fd = connectTo(port);
        QVERIFY(fd >= 0);
        writeAll(fd, "0");
        QCOMPARE(readSome(fd, 2), QByteArray::fromHex("00f8"));
        QVERIFY(closedByPeer(fd));
        close(fd);
    }
    const Outcome o = farend.stop();
    QCOMPARE(o.status, 0);
    QVERIFY2(o.err.contains("received 2 bytes, sent 4 bytes"), o.err.constData());

    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject r = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(r["received"].toInt(), 2);
    QCOMPARE(r["sent"].toInt(), 4);
    QCOMPARE(r["gaps"].toInt(), 0);   // no gap is counted across connections
}

void FarendServeTest::listenStaysBoundedUnderAFloodAndServesTheNextConnection_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("echo") << QStringList{};
    QTest::newRow("replies a second late") << QStringList{"--latency", "1000"};
    QTest::newRow("paced at 9600 baud") << QStringList{"--paced"};
    QTest::newRow("wrong baud rate") << QStringList{"--wrong-baud", "19200"};
}

// Far more than farend answers, for seconds, from a sender that never reads: farend's memory
// stays within what it holds by design (read chunk, device backlog, transmit buffer).
void FarendServeTest::listenStaysBoundedUnderAFloodAndServesTheNextConnection()
{
    QFETCH(QStringList, options);
    constexpr long kBoundKb = 32 * 1024;
    Farend farend(QStringList{"--listen", "127.0.0.1:0"} + options);
    const quint16 port = listeningPort(farend.ready);
    QVERIFY2(port, farend.ready.constData());
    const long startKb = memoryKb(farend.pid(), "VmRSS");
    QVERIFY(startKb > 0);

    const int flood = connectTo(port);
    QVERIFY(flood >= 0);
    std::atomic<bool> flooding{true};
    std::atomic<long long> sent{0};
    std::thread sender([&] {
        QByteArray block(64 * 1024, Qt::Uninitialized);
        quint32 x = 1;
        for (char &c : block) {   // xorshift32: bytes of every value, no cycle to recognise
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = char(x);
        }
        while (flooding) {
            const ssize_t n = send(flood, block.constData(), block.size(), MSG_NOSIGNAL);
            if (n > 0)
                sent += n;
            else if (n < 0 && errno != EINTR)
                return;
        }
    });
    long peakKb = startKb;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < until) {
        QTest::qWait(100);
        peakKb = std::max(peakKb, memoryKb(farend.pid(), "VmRSS"));
    }
    // it goes on serving its other events meanwhile: the summary when asked for
    const QByteArray sofar = farend.progress();
    flooding = false;
    shutdown(flood, SHUT_RDWR);
    sender.join();
    close(flood);
    QVERIFY2(sofar.startsWith("farend: received "), sofar.constData());
    peakKb = std::max(peakKb, memoryKb(farend.pid(), "VmHWM"));

    const int next = connectTo(port);
    QVERIFY(next >= 0);
    writeAll(next, "0");
    // a hang guard, not a time goal; at the wrong rate the byte comes back changed, or as two
    const QByteArray answer = readSome(next, 1, 20000);
    QVERIFY(!answer.isEmpty());
    if (!options.contains("--wrong-baud"))
        QCOMPARE(answer, QByteArray("0"));
    close(next);
    const Outcome o = farend.stop();
    QCOMPARE(o.status, 0);
    qInfo("flood of %lld MB: farend from %ld kB to a peak of %ld kB resident (bound %ld kB); %s",
          sent.load() / 1000000, startKb, peakKb, kBoundKb, o.err.trimmed().constData());
    QVERIFY2(peakKb < kBoundKb, qPrintable(QString::number(peakKb)));
    // what went unanswered is counted, not lost silently
    QVERIFY2(o.err.contains(" bytes not answered: they came faster than the device could hold "
                            "them"),
             o.err.constData());
}

void FarendServeTest::listenRefusesAPortInUse()
{
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(bind(taken, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    QCOMPARE(listen(taken, 1), 0);
    socklen_t length = sizeof a;
    getsockname(taken, reinterpret_cast<sockaddr *>(&a), &length);
    const QString address = QStringLiteral("127.0.0.1:%1").arg(ntohs(a.sin_port));

    const Outcome o = runFarend({"--listen", address});
    close(taken);
    QCOMPARE(o.err, QByteArray("farend: cannot listen on " + address.toLatin1() +
                               ": Address already in use\n"));
    QCOMPARE(o.status, 2);

    const Outcome bad = runFarend({"--listen", "127.0.0.1:65536"});
    QCOMPARE(bad.err, QByteArray("farend: --listen needs [HOST:]PORT; \"127.0.0.1:65536\" has no "
                                 "port from 0 to 65535\n"));
    QCOMPARE(bad.status, 2);
}

void FarendServeTest::mockedCom3RunsTheCommandAndReportsTheWireTiming()
{
    QTemporaryDir dir;
    const QString report = dir.filePath("wire.json");
    // the command writes to the mocked COM3 as the tester would, 50 ms apart
    const Outcome o = runFarend(
        {"--silent", "--report", report, "--", "sh", "-c",
         "for c in 0 1 2 3; do printf $c; sleep 0.05; done >/dev/COM3; exit 3"});
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.status, 3);   // the command's
    QVERIFY2(o.err.contains("received 4 bytes, sent 0 bytes"), o.err.constData());
    QVERIFY2(o.err.contains("test cycle exact\n  period (ms): p50 "), o.err.constData());
    QVERIFY2(o.err.count('\n') > 1, o.err.constData());   // the totals and the timing below

    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject r = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(r["received"].toInt(), 4);
    QCOMPARE(r["gaps"].toInt(), 3);
    int binned = 0;
    for (const QJsonValue &bin : r["gap_histogram_ms"].toArray())
        binned += bin.toObject()["count"].toInt();
    QCOMPARE(binned, 3);
}

void FarendServeTest::optionsThatDoNotGoTogetherAreRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("err");
    const QByteArray tryHelp = "\nTry 'farend --help'.\n";
    QTest::newRow("port and listen")
        << QStringList{"--port", "/dev/ttyS9", "--listen", "0"}
        << "farend: --port, --listen, --relay and --plot cannot be used together" + tryHelp;
    QTest::newRow("port twice") << QStringList{"--port", "/dev/ttyS8", "--port", "/dev/ttyS9"}
                                << "farend: --port is given twice" + tryHelp;
    QTest::newRow("listen with a command")
        << QStringList{"--listen", "0", "--", "true"}
        << "farend: --listen serves until interrupted and runs no command" + tryHelp;
    QTest::newRow("port with a command")
        << QStringList{"--port", "/dev/ttyS9", "--"}
        << "farend: --port serves until interrupted and runs no command" + tryHelp;
    QTest::newRow("silent and wrong baud")
        << QStringList{"--silent", "--wrong-baud", "19200"}
        << "farend: --silent never answers: --latency, --drop, --corrupt, --wrong-baud, "
           "--far-device and --server-port have nothing to act on" + tryHelp;
    QTest::newRow("rate not whole") << QStringList{"--wrong-baud", "19200.5"}
                                    << "farend: option --wrong-baud needs a whole number of baud" +
                                           tryHelp;
    QTest::newRow("rate too low") << QStringList{"--wrong-baud", "10"}
                                  << "farend: option --wrong-baud needs a number from 50 to "
                                     "4000000" + tryHelp;
    QTest::newRow("no device") << QStringList{"--port"}
                               << "farend: option --port needs a value" + tryHelp;
    QTest::newRow("report unwritable")
        << QStringList{"--report", "/nonexistent-farend-dir/r.json", "--listen", "0"}
        << QByteArray("farend: cannot write /nonexistent-farend-dir/r.json: No such file or "
                      "directory\n");
}

void FarendServeTest::optionsThatDoNotGoTogetherAreRefused()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, err);
    const Outcome o = runFarend(args);
    QVERIFY(o.exitedNormally);
    QCOMPARE(o.err, err);
    QCOMPARE(o.out, QByteArray());
    QCOMPARE(o.status, 2);
}

QTEST_GUILESS_MAIN(FarendServeTest)
#include "test_farend_serve.moc"
