// The comm layer against real pseudo-terminals.
#include "serial/commapi.h"
#include "tests/support/ptypair.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>

namespace {

const DWORD rw = GENERIC_READ | GENERIC_WRITE;

HANDLE openPort(const std::string &path)
{
    return CreateFileA(path.c_str(), rw, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The configuration the tester applies: 5 ms time-outs, then 9600 8N1 over what the driver had.
void configure(HANDLE h)
{
    COMMTIMEOUTS to{5, 0, 5, 0, 5};
    QVERIFY(SetupComm(h, 512, 512));
    QVERIFY(PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    QVERIFY(SetCommTimeouts(h, &to));
    DCB dcb;
    QVERIFY(GetCommState(h, &dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    QVERIFY(SetCommState(h, &dcb));
}

QByteArray drain(int fd, int quietMs = 30)
{
    QByteArray got;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, quietMs) > 0 && (p.revents & POLLIN)) {
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    return got;
}

QString lockFileFor(const std::string &device)
{
    QString name = QString::fromStdString(device).mid(5).replace('/', '_');
    for (const char *dir : {"/run/lock", "/var/lock"})
        if (access(dir, W_OK) == 0)
            return QString::fromLatin1(dir) + "/LCK.." + name;
    return QString();
}

} // namespace

class SerialTest : public QObject {
    Q_OBJECT
private slots:
    void appliesNineSixHundredEightNOneAsPassThroughAndKeepsFlowControl();
    void restoresTheDriversSettingsOnClose();
    void readWithNothingSucceedsAndKeepsTheStore();
    void everyByteValuePassesUnchangedBothWays();
    void queuedRepliesAreReadOneAtATime();
    void rtsOnAPseudoTerminalSucceeds();
    void secondOpenFailsWhileTheFirstHoldsThePort();
    void lockFileOfALiveProcessRefusesAndAStaleOneIsTakenOver();
    void aPathThatIsNotATerminalFailsAtSetupComm();
    void aHungUpLineFailsReadWriteAndRts();
    void operationsOnAClosedHandleFail();
};

void SerialTest::appliesNineSixHundredEightNOneAsPassThroughAndKeepsFlowControl()
{
    PtyPair pty;
    termios before = pty.settings();
    before.c_cflag |= CRTSCTS | CSTOPB | PARENB | PARODD;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7;
    before.c_iflag |= IXON | ICRNL | ISTRIP;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    cfsetspeed(&before, B38400);
    QCOMPARE(tcsetattr(pty.slave, TCSANOW, &before), 0);

    HANDLE h = openPort(pty.path);
    QVERIFY(h != INVALID_HANDLE_VALUE);
    configure(h);
    const termios t = pty.settings();
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | PARODD | CSTOPB), tcflag_t(0));
    QCOMPARE(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(t.c_iflag & (ICRNL | ISTRIP | INLCR | IGNCR), tcflag_t(0));
    QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));
    // what the tester does not mean to change stays as the driver had it
    QVERIFY(t.c_cflag & CRTSCTS);
    QVERIFY(t.c_iflag & IXON);
    QVERIFY(CloseHandle(h));
}

void SerialTest::restoresTheDriversSettingsOnClose()
{
    PtyPair pty;
    const termios before = pty.settings();
    HANDLE h = openPort(pty.path);
    QVERIFY(h != INVALID_HANDLE_VALUE);
    configure(h);
    QVERIFY(CloseHandle(h));
    const termios after = pty.settings();
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(after.c_iflag, before.c_iflag);
    QCOMPARE(after.c_oflag, before.c_oflag);
    QCOMPARE(after.c_lflag, before.c_lflag);
}

void SerialTest::readWithNothingSucceedsAndKeepsTheStore()
{
    PtyPair pty;
    HANDLE h = openPort(pty.path);
    configure(h);
    char store = 'Q';
    DWORD count = 99;
    QVERIFY(ReadFile(h, &store, 1, &count, nullptr));
    QCOMPARE(count, DWORD(0));
    QCOMPARE(store, 'Q');
    CloseHandle(h);
}

void SerialTest::everyByteValuePassesUnchangedBothWays()
{
    PtyPair pty;
    termios noSoftwareFlow = pty.settings();   // XON/XOFF would take 0x11 and 0x13
    noSoftwareFlow.c_iflag &= ~(IXON | IXOFF);
    tcsetattr(pty.slave, TCSANOW, &noSoftwareFlow);
    HANDLE h = openPort(pty.path);
    configure(h);
    QByteArray out, in;
    for (int b = 0; b < 256; ++b) {
        const unsigned char byte = static_cast<unsigned char>(b);
        DWORD count = 0;
        QVERIFY(WriteFile(h, &byte, 1, &count, nullptr));
        QCOMPARE(count, DWORD(1));
        if (b % 64 == 63)
            out += drain(pty.master, 20);

        QCOMPARE(write(pty.master, &byte, 1), ssize_t(1));
        char store = 0;
        QVERIFY(ReadFile(h, &store, 1, &count, nullptr));
        QCOMPARE(count, DWORD(1));
        in.append(store);
    }
    QByteArray all(256, 0);
    for (int b = 0; b < 256; ++b)
        all[b] = static_cast<char>(b);
    QCOMPARE(out, all);
    QCOMPARE(in, all);
    CloseHandle(h);
}

void SerialTest::queuedRepliesAreReadOneAtATime()
{
    PtyPair pty;
    HANDLE h = openPort(pty.path);
    configure(h);
    QCOMPARE(write(pty.master, "XYZ", 3), ssize_t(3));
    QByteArray got;
    for (int i = 0; i < 4; ++i) {
        char store = got.isEmpty() ? 0 : got.back();
        DWORD count = 0;
        QVERIFY(ReadFile(h, &store, 1, &count, nullptr));
        QCOMPARE(count, DWORD(i < 3 ? 1 : 0));
        got.append(store);
    }
    QCOMPARE(got, QByteArray("XYZZ"));
    CloseHandle(h);
}

void SerialTest::rtsOnAPseudoTerminalSucceeds()
{
    PtyPair pty;
    HANDLE h = openPort(pty.path);
    configure(h);
    QVERIFY(EscapeCommFunction(h, SETRTS));
    QVERIFY(!EscapeCommFunction(h, 42));
    CloseHandle(h);
}

void SerialTest::secondOpenFailsWhileTheFirstHoldsThePort()
{
    PtyPair pty;
    HANDLE first = openPort(pty.path);
    QVERIFY(first != INVALID_HANDLE_VALUE);
    QCOMPARE(openPort(pty.path), INVALID_HANDLE_VALUE);

    // another program holding the port (with flock, as serial tools do) keeps us out too
    QVERIFY(CloseHandle(first));
    int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    QVERIFY(flock(other, LOCK_EX | LOCK_NB) == 0);
    QCOMPARE(openPort(pty.path), INVALID_HANDLE_VALUE);
    close(other);

    HANDLE again = openPort(pty.path);
    QVERIFY(again != INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

void SerialTest::lockFileOfALiveProcessRefusesAndAStaleOneIsTakenOver()
{
    PtyPair pty;
    const QString lock = lockFileFor(pty.path);
    if (lock.isEmpty())
        QSKIP("no writable lock directory here");

    QFile live(lock);
    QVERIFY(live.open(QIODevice::WriteOnly));
    live.write(QByteArray::number(getppid()).rightJustified(10) + "\n");
    live.close();
    QCOMPARE(openPort(pty.path), INVALID_HANDLE_VALUE);

    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    QVERIFY(live.open(QIODevice::WriteOnly | QIODevice::Truncate));
    live.write(QByteArray::number(gone).rightJustified(10) + "\n");
    live.close();
    HANDLE h = openPort(pty.path);
    QVERIFY(h != INVALID_HANDLE_VALUE);
    QVERIFY(live.open(QIODevice::ReadOnly));
    QCOMPARE(live.readAll().trimmed().toLong(), long(getpid()));
    live.close();

    QVERIFY(CloseHandle(h));
    QVERIFY(!QFile::exists(lock));
}

void SerialTest::aPathThatIsNotATerminalFailsAtSetupComm()
{
    QTemporaryFile plain;
    QVERIFY(plain.open());
    for (const std::string &path : {std::string("/dev/null"), plain.fileName().toStdString()}) {
        HANDLE h = openPort(path);
        QVERIFY(h != INVALID_HANDLE_VALUE);
        QVERIFY(!SetupComm(h, 512, 512));
        QVERIFY(CloseHandle(h));
    }
    QCOMPARE(openPort("/nonexistent/COM3"), INVALID_HANDLE_VALUE);
}

void SerialTest::aHungUpLineFailsReadWriteAndRts()
{
    PtyPair pty;
    HANDLE h = openPort(pty.path);
    configure(h);
    pty.hangUp();
    char store = 'K';
    DWORD count = 0;
    QVERIFY(!ReadFile(h, &store, 1, &count, nullptr));
    QCOMPARE(store, 'K');
    const unsigned char byte = '0';
    QVERIFY(!WriteFile(h, &byte, 1, &count, nullptr));
    QVERIFY(!EscapeCommFunction(h, SETRTS));
    CloseHandle(h);
}

void SerialTest::operationsOnAClosedHandleFail()
{
    PtyPair pty;
    HANDLE h = openPort(pty.path);
    QVERIFY(CloseHandle(h));
    QVERIFY(!CloseHandle(h));
    QVERIFY(!EscapeCommFunction(h, SETRTS));
    const unsigned char byte = '0';
    DWORD count;
    QVERIFY(!WriteFile(h, &byte, 1, &count, nullptr));
    QVERIFY(!CloseHandle(INVALID_HANDLE_VALUE));
}

QTEST_GUILESS_MAIN(SerialTest)
#include "test_serial.moc"
