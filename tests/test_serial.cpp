// The comm layer against real pseudo-terminals.
#include "serial/commapi.h"
#include "tests/support/fdio.h"
#include "tests/support/linecheck.h"
#include "tests/support/ptypair.h"

#include <QtTest>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

} // namespace

class SerialTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void appliesNineSixHundredEightNOneAsPassThroughWithoutXonXoffAndKeepsHardwareFlowControl();
    void xonAndXoffPassBothWaysOnALineLeftWithTheKernelDefaults();
    void restoresTheDriversSettingsOnClose();
    void readWithNothingSucceedsAndKeepsTheStore();
    void everyByteValuePassesUnchangedBothWays();
    void queuedRepliesAreReadOneAtATime();
    void rtsOnAPseudoTerminalSucceeds();
    void secondOpenFailsWhileTheFirstHoldsThePort();
    void lockFileOfALiveProcessRefusesAndAStaleOneIsTakenOver();
    void aRefusedStartLeavesTheLineAndAnyLockAsTheyWere_data();
    void aRefusedStartLeavesTheLineAndAnyLockAsTheyWere();
    void aLockNoLiveWriterCanHoldIsTakenOver_data();
    void aLockNoLiveWriterCanHoldIsTakenOver();
    void withoutAWritableLockDirectoryThePortOpensAndTheFlockStillExcludes();
    void closingAfterAHangUpGivesTheLineBackWhereTheDeviceRemains_data();
    void closingAfterAHangUpGivesTheLineBackWhereTheDeviceRemains();
    void aFatalSignalGivesTheLineBackAndLeavesOthersHandlersAlone();
    void aPathThatIsNotATerminalFailsAtSetupComm();
    void aHungUpLineFailsReadWriteAndRts();
    void operationsOnAClosedHandleFail();

private:
    // each signal's disposition before any port was opened
    struct sigaction dispositions[NSIG] {};
};

void SerialTest::initTestCase()
{
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, nullptr, &dispositions[sig]);
}

void SerialTest::appliesNineSixHundredEightNOneAsPassThroughWithoutXonXoffAndKeepsHardwareFlowControl()
{
    PtyPair pty;
    termios before = pty.settings();
    before.c_cflag |= CRTSCTS | CSTOPB | PARENB | PARODD;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7;
    before.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
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
    // software flow control changes the byte stream: it goes with the rest of the line discipline
    QCOMPARE(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
    // what the tester does not mean to change stays as the driver had it
    QVERIFY(t.c_cflag & CRTSCTS);
    QVERIFY(CloseHandle(h));
}

void SerialTest::xonAndXoffPassBothWaysOnALineLeftWithTheKernelDefaults()
{
    PtyPair pty;
    QVERIFY(pty.settings().c_iflag & IXON);
    HANDLE h = openPort(pty.path);
    QVERIFY(h != INVALID_HANDLE_VALUE);
    configure(h);

    QCOMPARE(write(pty.master, "\x13", 1), ssize_t(1));
    char store = 0;
    DWORD count = 0;
    QVERIFY(ReadFile(h, &store, 1, &count, nullptr));
    QCOMPARE(count, DWORD(1));
    QCOMPARE(store, '\x13');
    // the received XOFF stops nothing
    for (const unsigned char byte : {'A', '\x11', '\x13', 'B'}) {
        QVERIFY(WriteFile(h, &byte, 1, &count, nullptr));
        QCOMPARE(count, DWORD(1));
    }
    QCOMPARE(readUntilQuiet(pty.master, 30), QByteArray("A\x11\x13" "B"));

    QCOMPARE(write(pty.master, "\x11", 1), ssize_t(1));
    QVERIFY(ReadFile(h, &store, 1, &count, nullptr));
    QCOMPARE(count, DWORD(1));
    QCOMPARE(store, '\x11');
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
            out += readUntilQuiet(pty.master, 20);

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

namespace {

// What keeps the port from us when a start is refused: another holder, or something in the
// lock file's place that may be live.
enum Obstacle {
    HeldWithFlock,
    ExclusiveModeOfAnother,
    Fifo,
    LinkToFifo,
    LinkToFileOfALiveProcess,
    Directory,
    FreshEmptyLock,
    FreshGarbledLock,
    BinaryLockOfALiveProcess,
    LivePidThenProgramAndUser,
    LivePidThenALine,
    LivePidThenNul,
    GarbledLockJustAheadOfTheClock,
};

// A lock file that no live writer can hold.
enum StaleLock {
    OldEmptyLock,
    OldGarbledLock,
    BinaryLockOfAGoneProcess,
    GonePidThenProgramAndUser,
    GarbledLockAMinuteAheadOfTheClock,
};

pid_t goneProcess()
{
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    return gone;
}

QByteArray textPid(long pid)
{
    return QByteArray::number(qlonglong(pid)).rightJustified(10) + "\n";
}

void writeFile(const QByteArray &path, const QByteArray &content)
{
    QFile f(QFile::decodeName(path));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), content.size());
}

// Past the grace a writer gets, so that only what the file names can keep it.
void stampAt(const QByteArray &path, long secondsFromNow)
{
    const timespec at{time(nullptr) + secondsFromNow, 0};
    const timespec times[2] = {at, at};
    QCOMPARE(utimensat(AT_FDCWD, path.constData(), times, 0), 0);
}

// The lock file as found: its type and what it holds or leads to.
QByteArray lockAsFound(const QString &path)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return "absent";
    if (S_ISLNK(st.st_mode))
        return "link to " + QFile::encodeName(QFile::symLinkTarget(path));
    if (S_ISFIFO(st.st_mode))
        return "fifo";
    if (S_ISDIR(st.st_mode))
        return "directory";
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "unreadable file";
    return "file " + f.readAll().toHex();
}

} // namespace

void SerialTest::aRefusedStartLeavesTheLineAndAnyLockAsTheyWere_data()
{
    QTest::addColumn<int>("obstacle");
    QTest::newRow("port held with flock") << int(HeldWithFlock);
    QTest::newRow("exclusive mode set by another") << int(ExclusiveModeOfAnother);
    QTest::newRow("FIFO as lock") << int(Fifo);
    QTest::newRow("link to a FIFO as lock") << int(LinkToFifo);
    QTest::newRow("link to a file naming a live process") << int(LinkToFileOfALiveProcess);
    QTest::newRow("directory as lock") << int(Directory);
    QTest::newRow("empty lock just created") << int(FreshEmptyLock);
    QTest::newRow("garbled lock just written") << int(FreshGarbledLock);
    QTest::newRow("binary lock of a live process") << int(BinaryLockOfALiveProcess);
    QTest::newRow("live PID, program and user after it") << int(LivePidThenProgramAndUser);
    QTest::newRow("live PID, a line after it") << int(LivePidThenALine);
    QTest::newRow("live PID ended by a NUL") << int(LivePidThenNul);
    QTest::newRow("garbled lock 2 s ahead of the clock") << int(GarbledLockJustAheadOfTheClock);
}

void SerialTest::aRefusedStartLeavesTheLineAndAnyLockAsTheyWere()
{
    QFETCH(int, obstacle);
    PtyPair pty;
    const QByteArray before = startWithKernelDefaultsAt19200(pty.slave);
    QVERIFY(!before.isEmpty());
    const QString lock = lockFileFor(pty.path);
    if (lock.isEmpty())
        QSKIP("no writable lock directory here");
    const QByteArray lockName = QFile::encodeName(lock);
    QTemporaryDir elsewhere;
    const QByteArray fifo = QFile::encodeName(elsewhere.filePath("fifo"));
    const QByteArray pidFile = QFile::encodeName(elsewhere.filePath("pid"));
    int holder = -1;
    HANDLE h = INVALID_HANDLE_VALUE;
    auto cleanUp = qScopeGuard([&] {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (unlink(lockName.constData()) != 0)
            rmdir(lockName.constData());
        if (holder >= 0)
            close(holder);
        ioctl(pty.slave, TIOCNXCL);
    });

    switch (obstacle) {
    case HeldWithFlock:
        holder = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
        QCOMPARE(flock(holder, LOCK_EX | LOCK_NB), 0);
        break;
    case ExclusiveModeOfAnother:
        QCOMPARE(ioctl(pty.slave, TIOCEXCL), 0);
        break;
    case Fifo:
        QCOMPARE(mkfifo(lockName.constData(), 0644), 0);
        break;
    case LinkToFifo:
        QCOMPARE(mkfifo(fifo.constData(), 0644), 0);
        QCOMPARE(symlink(fifo.constData(), lockName.constData()), 0);
        break;
    case LinkToFileOfALiveProcess:
        writeFile(pidFile, textPid(getppid()));
        QCOMPARE(symlink(pidFile.constData(), lockName.constData()), 0);
        break;
    case Directory:
        QCOMPARE(mkdir(lockName.constData(), 0755), 0);
        break;
    case FreshEmptyLock:
        writeFile(lockName, QByteArray());
        break;
    case FreshGarbledLock:
        writeFile(lockName, "LCK");
        break;
    case BinaryLockOfALiveProcess:
        writeFile(lockName, binaryPid(getppid()));
        break;
    case LivePidThenProgramAndUser:
        writeFile(lockName, textPid(getppid()).chopped(1) + " looptest root\n");
        stampAt(lockName, -60);
        break;
    case LivePidThenALine:
        writeFile(lockName, textPid(getppid()) + "extra\n");
        stampAt(lockName, -60);
        break;
    case LivePidThenNul:
        writeFile(lockName, textPid(getppid()).chopped(1) + QByteArray(1, '\0'));
        stampAt(lockName, -60);
        break;
    case GarbledLockJustAheadOfTheClock:
        writeFile(lockName, "LCK");
        stampAt(lockName, 2);
        break;
    }
    const QByteArray found = lockAsFound(lock);
    const bool exclusiveBefore = exclusiveMode(pty.slave);

    h = openPort(pty.path);
    QCOMPARE(h, INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), DWORD(EBUSY));
    QCOMPARE(settingsOf(pty.slave), before);
    QCOMPARE(exclusiveMode(pty.slave), exclusiveBefore);
    QCOMPARE(lockAsFound(lock), found);
}

void SerialTest::aLockNoLiveWriterCanHoldIsTakenOver_data()
{
    QTest::addColumn<int>("stale");
    QTest::newRow("empty lock a minute old") << int(OldEmptyLock);
    QTest::newRow("garbled lock a minute old") << int(OldGarbledLock);
    QTest::newRow("binary lock of a gone process") << int(BinaryLockOfAGoneProcess);
    QTest::newRow("gone PID, program and user after it") << int(GonePidThenProgramAndUser);
    QTest::newRow("garbled lock a minute ahead of the clock")
        << int(GarbledLockAMinuteAheadOfTheClock);
}

void SerialTest::aLockNoLiveWriterCanHoldIsTakenOver()
{
    QFETCH(int, stale);
    PtyPair pty;
    const QString lock = lockFileFor(pty.path);
    if (lock.isEmpty())
        QSKIP("no writable lock directory here");
    const QByteArray lockName = QFile::encodeName(lock);
    auto cleanUp = qScopeGuard([&] { unlink(lockName.constData()); });

    switch (stale) {
    case OldEmptyLock:
        writeFile(lockName, QByteArray());
        stampAt(lockName, -60);
        break;
    case OldGarbledLock:
        writeFile(lockName, "LCK");
        stampAt(lockName, -60);
        break;
    case BinaryLockOfAGoneProcess:
        writeFile(lockName, binaryPid(goneProcess()));
        break;
    case GonePidThenProgramAndUser:
        writeFile(lockName, textPid(goneProcess()).chopped(1) + " looptest root\n");
        break;
    case GarbledLockAMinuteAheadOfTheClock:
        writeFile(lockName, "LCK");
        stampAt(lockName, 60);
        break;
    }

    HANDLE h = openPort(pty.path);
    QVERIFY(h != INVALID_HANDLE_VALUE);
    QCOMPARE(lockAsFound(lock), "file " + textPid(getpid()).toHex());
    QVERIFY(CloseHandle(h));
    QCOMPARE(lockAsFound(lock), QByteArray("absent"));
}

void SerialTest::withoutAWritableLockDirectoryThePortOpensAndTheFlockStillExcludes()
{
    PtyPair pty;
    const QString lock = lockFileFor(pty.path);
    const pid_t child = fork();
    if (child == 0) {
        // a private view of the file system in which no lock directory can be written
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(77);
        for (const char *dir : {"/run/lock", "/var/lock"})
            if (access(dir, F_OK) == 0 && mount("none", dir, "tmpfs", MS_RDONLY, nullptr) != 0)
                _exit(77);
        HANDLE h = openPort(pty.path);
        if (h == INVALID_HANDLE_VALUE)
            _exit(1);
        const HANDLE second = openPort(pty.path);
        const bool excluded = second == INVALID_HANDLE_VALUE && GetLastError() == EBUSY;
        CloseHandle(h);
        _exit(excluded ? 0 : 2);
    }
    QVERIFY(child > 0);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        QSKIP("a private mount namespace needs CAP_SYS_ADMIN");
    QVERIFY2(WEXITSTATUS(status) != 1, "the start was refused");
    QVERIFY2(WEXITSTATUS(status) != 2, "a second opener was not kept out");
    QCOMPARE(WEXITSTATUS(status), 0);
    if (!lock.isEmpty())
        QCOMPARE(lockAsFound(lock), QByteArray("absent"));
}

void SerialTest::closingAfterAHangUpGivesTheLineBackWhereTheDeviceRemains_data()
{
    QTest::addColumn<bool>("farEndGone");
    QTest::newRow("terminal hung up") << false;
    QTest::newRow("far end gone with its terminal") << true;
}

void SerialTest::closingAfterAHangUpGivesTheLineBackWhereTheDeviceRemains()
{
    QFETCH(bool, farEndGone);
    PtyPair pty;
    const QByteArray before = startWithKernelDefaultsAt19200(pty.slave);
    QVERIFY(!before.isEmpty());
    const QString lock = lockFileFor(pty.path);
    HANDLE h = openPort(pty.path);
    QVERIFY(h != INVALID_HANDLE_VALUE);
    configure(h);
    QVERIFY(exclusiveMode(pty.slave));

    if (farEndGone) {
        pty.hangUp();
    } else if (ioctl(pty.slave, TIOCVHANGUP) != 0) {
        CloseHandle(h);
        QSKIP("hanging up a terminal needs CAP_SYS_ADMIN");
    }
    CloseHandle(h);
    if (!lock.isEmpty())
        QCOMPARE(lockAsFound(lock), QByteArray("absent"));
    if (farEndGone)
        return;   // the terminal went with its far end: nothing is left to restore

    // the hang-up reset the terminal; our descriptor to it is dead, the device is not
    const int again = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(again >= 0);
    auto closeAgain = qScopeGuard([&] { close(again); });
    QCOMPARE(settingsOf(again), before);
    QVERIFY(!exclusiveMode(again));
}

void SerialTest::aFatalSignalGivesTheLineBackAndLeavesOthersHandlersAlone()
{
    PtyPair pty;
    const QByteArray before = startWithKernelDefaultsAt19200(pty.slave);
    QVERIFY(!before.isEmpty());
    const QString lock = lockFileFor(pty.path);
    HANDLE first = openPort(pty.path);
    QVERIFY(first != INVALID_HANDLE_VALUE);
    QVERIFY(CloseHandle(first));

    // what was installed before the first port opened (QtTest's crash handlers) stays
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now;
        sigaction(sig, nullptr, &now);
        if (dispositions[sig].sa_handler != SIG_DFL)
            QVERIFY2(now.sa_handler == dispositions[sig].sa_handler, strsignal(sig));
    }
    QVERIFY(dispositions[SIGUSR1].sa_handler == SIG_DFL);
    struct sigaction usr1;
    sigaction(SIGUSR1, nullptr, &usr1);
    QVERIFY(usr1.sa_handler != SIG_DFL);

    const pid_t child = fork();
    if (child == 0) {
        HANDLE h = openPort(pty.path);
        if (h == INVALID_HANDLE_VALUE)
            _exit(1);
        if (settingsOf(pty.slave) == before || !exclusiveMode(pty.slave) ||
            (!lock.isEmpty() && lockAsFound(lock) == "absent"))
            _exit(2);   // the open took nothing: there would be nothing to see given back
        raise(SIGUSR1);
        _exit(3);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status), qPrintable(QString::number(WEXITSTATUS(status))));
    QCOMPARE(WTERMSIG(status), SIGUSR1);
    QCOMPARE(settingsOf(pty.slave), before);
    QVERIFY(!exclusiveMode(pty.slave));
    if (!lock.isEmpty())
        QCOMPARE(lockAsFound(lock), QByteArray("absent"));
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
