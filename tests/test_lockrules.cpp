// The rules of UUCP lock files on their own: who a lock's content names, when a lock is stale,
// and the lock's name for a device.
#include "serial/lockrules.h"
#include "tests/support/linecheck.h"

#include <QtTest>

using namespace posixcomm;

namespace {

// Processes 42 and 7 live; no other does.
bool only42And7Live(long pid)
{
    return pid == 42 || pid == 7;
}

} // namespace

class LockRulesTest : public QObject {
    Q_OBJECT
private slots:
    void aLockNamesThePidOfItsFirstFieldOrItsBinaryForm_data();
    void aLockNamesThePidOfItsFirstFieldOrItsBinaryForm();
    void aFailedReadNamesNobody();
    void aLockIsStaleOnlyWhenNoProcessItMayNameLivesOrNoWriterCanStillBeAtIt_data();
    void aLockIsStaleOnlyWhenNoProcessItMayNameLivesOrNoWriterCanStillBeAtIt();
    void theLockIsNamedAfterTheDevicePathBelowDevWithSlashesAsUnderscores_data();
    void theLockIsNamedAfterTheDevicePathBelowDevWithSlashesAsUnderscores();
};

void LockRulesTest::aLockNamesThePidOfItsFirstFieldOrItsBinaryForm_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<long>("text");
    QTest::addColumn<long>("binary");
    QTest::newRow("padded to ten with a newline") << QByteArray("      4242\n") << 4242L << 0L;
    QTest::newRow("bare digits to the end") << QByteArray("4242") << 4242L << 0L;
    QTest::newRow("tab, then program and user") << QByteArray("\t17 minicom root\n") << 17L << 0L;
    QTest::newRow("ended by a NUL") << QByteArray("123\0xyz", 7) << 123L << 0L;
    QTest::newRow("text that is also a binary PID")
        << QByteArray("123\0", 4) << 123L << long(0x00333231);
    QTest::newRow("binary form") << binaryPid(4242) << 0L << 4242L;
    QTest::newRow("binary form of no process") << binaryPid(0) << 0L << 0L;
    QTest::newRow("binary form, negative") << binaryPid(-1) << 0L << 0L;
    QTest::newRow("binary form above the kernel's limit") << binaryPid(kPidLimit + 1) << 0L << 0L;
    QTest::newRow("digits run into letters") << QByteArray("4242x\n") << 0L << 0L;
    QTest::newRow("a sign") << QByteArray("-5\n") << 0L << 0L;
    QTest::newRow("the kernel's limit") << QByteArray("4194304\n") << kPidLimit << 0L;
    QTest::newRow("above the kernel's limit") << QByteArray("4194305\n") << 0L << 0L;
    QTest::newRow("more digits than a long holds")
        << QByteArray("99999999999999999999999\n") << 0L << 0L;
    QTest::newRow("a line ending only") << QByteArray("\n") << 0L << 0L;
    QTest::newRow("empty") << QByteArray() << 0L << 0L;
}

void LockRulesTest::aLockNamesThePidOfItsFirstFieldOrItsBinaryForm()
{
    QFETCH(QByteArray, content);
    QFETCH(long, text);
    QFETCH(long, binary);
    const LockOwners owners = lockOwners(content.constData(), content.size());
    QCOMPARE(owners.text, text);
    QCOMPARE(owners.binary, binary);
}

void LockRulesTest::aFailedReadNamesNobody()
{
    const LockOwners owners = lockOwners("4242", -1);
    QCOMPARE(owners.text, 0L);
    QCOMPARE(owners.binary, 0L);
}

void LockRulesTest::aLockIsStaleOnlyWhenNoProcessItMayNameLivesOrNoWriterCanStillBeAtIt_data()
{
    QTest::addColumn<long>("text");
    QTest::addColumn<long>("binary");
    QTest::addColumn<long long>("ageMs");
    QTest::addColumn<bool>("stale");
    QTest::newRow("text PID lives") << 42L << 0L << 3600000LL << false;
    QTest::newRow("text PID gone, just written") << 43L << 0L << 0LL << true;
    QTest::newRow("text PID gone, binary reading lives") << 43L << 7L << 0LL << false;
    QTest::newRow("binary PID lives") << 0L << 7L << 3600000LL << false;
    QTest::newRow("both readings gone") << 43L << 8L << 0LL << true;
    QTest::newRow("names none, being written") << 0L << 0L << 0LL << false;
    QTest::newRow("names none, just within the grace")
        << 0L << 0L << kLockWriteGraceMs - 1 << false;
    QTest::newRow("names none, past the grace") << 0L << 0L << kLockWriteGraceMs << true;
    QTest::newRow("names none, slightly ahead of the clock") << 0L << 0L << -100LL << false;
    QTest::newRow("names none, far ahead of the clock")
        << 0L << 0L << -kLockWriteGraceMs << true;
}

void LockRulesTest::aLockIsStaleOnlyWhenNoProcessItMayNameLivesOrNoWriterCanStillBeAtIt()
{
    QFETCH(long, text);
    QFETCH(long, binary);
    QFETCH(long long, ageMs);
    QFETCH(bool, stale);
    LockOwners owners;
    owners.text = text;
    owners.binary = binary;
    QCOMPARE(lockIsStale(owners, ageMs, only42And7Live), stale);
}

void LockRulesTest::theLockIsNamedAfterTheDevicePathBelowDevWithSlashesAsUnderscores_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("lock");
    QTest::newRow("a serial port") << "/dev/ttyS2" << "LCK..ttyS2";
    QTest::newRow("a pseudo-terminal") << "/dev/pts/3" << "LCK..pts_3";
    QTest::newRow("a path outside /dev") << "/tmp/ports/a" << "LCK.._tmp_ports_a";
    QTest::newRow("a name like /dev") << "/devices/x" << "LCK.._devices_x";
}

void LockRulesTest::theLockIsNamedAfterTheDevicePathBelowDevWithSlashesAsUnderscores()
{
    QFETCH(QString, device);
    QFETCH(QString, lock);
    QCOMPARE(QString::fromStdString(lockFileName(device.toStdString())), lock);
}

QTEST_GUILESS_MAIN(LockRulesTest)
#include "test_lockrules.moc"
