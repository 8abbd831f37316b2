// The simulated far end's line: when replies go out, which go wrong, when the line is cut, and
// whether what came in was the test cycle.
#include "farend/link.h"

#include <QtTest>

class FarendTest : public QObject {
    Q_OBJECT
private slots:
    void echoesAtOnceWithoutPacingOrLatency();
    void pacingQueuesBytesAsOnAWire();
    void latencyDelaysEveryReply();
    void dropsAndCorruptsTheGivenShareReproducibly();
    void silentNeverAnswers();
    void hangsUpAfterAnsweringTheNthByte();
    void recognisesTheTestCycleAndWhereItBreaks();
};

void FarendTest::echoesAtOnceWithoutPacingOrLatency()
{
    Link link({});
    link.received('0', 10.0);
    link.received('1', 10.0);
    QCOMPARE(QByteArray::fromStdString(link.takeDue(10.0)), QByteArray("01"));
    QCOMPARE(link.bytesSent(), 2LL);
    QVERIFY(link.nextDueMs() < 0);
}

void FarendTest::pacingQueuesBytesAsOnAWire()
{
    LinkOptions o;
    o.paced = true;
    Link link(o);
    // two bytes at once: the second waits for the first on each wire
    link.received('0', 0.0);
    link.received('1', 0.0);
    QCOMPARE(link.nextDueMs(), 2 * kByteTimeMs);
    QVERIFY(link.takeDue(2 * kByteTimeMs - 0.001).empty());
    QCOMPARE(QByteArray::fromStdString(link.takeDue(2 * kByteTimeMs)), QByteArray("0"));
    QCOMPARE(link.nextDueMs(), 3 * kByteTimeMs);
    QCOMPARE(QByteArray::fromStdString(link.takeDue(3 * kByteTimeMs)), QByteArray("1"));
    // an idle line starts fresh
    link.received('2', 100.0);
    QCOMPARE(link.nextDueMs(), 100.0 + 2 * kByteTimeMs);
}

void FarendTest::latencyDelaysEveryReply()
{
    LinkOptions o;
    o.latencyMs = 16;
    Link link(o);
    link.received('0', 5.0);
    QVERIFY(link.takeDue(20.9).empty());
    QCOMPARE(QByteArray::fromStdString(link.takeDue(21.0)), QByteArray("0"));
}

void FarendTest::dropsAndCorruptsTheGivenShareReproducibly()
{
    auto run = [](double drop, double corrupt, std::uint32_t seed) {
        LinkOptions o;
        o.dropPercent = drop;
        o.corruptPercent = corrupt;
        o.seed = seed;
        Link link(o);
        for (int i = 0; i < 10000; ++i)
            link.received('A', i);
        return link.takeDue(1e9);
    };
    const std::string dropped = run(25, 0, 7);
    QVERIFY(dropped.size() > 7000 && dropped.size() < 8000);
    QCOMPARE(run(25, 0, 7), dropped);
    QVERIFY(run(25, 0, 8) != dropped);

    const std::string corrupted = run(0, 10, 7);
    QCOMPARE(corrupted.size(), size_t(10000));
    int wrong = 0;
    for (char c : corrupted) {
        if (c != 'A') {
            ++wrong;
            QCOMPARE(__builtin_popcount(static_cast<unsigned char>(c ^ 'A')), 1);
        }
    }
    QVERIFY(wrong > 800 && wrong < 1200);
    QCOMPARE(run(0, 0, 7), std::string(10000, 'A'));
    QVERIFY(run(100, 0, 7).empty());
}

void FarendTest::silentNeverAnswers()
{
    LinkOptions o;
    o.silent = true;
    Link link(o);
    link.received('0', 0);
    QVERIFY(link.takeDue(1e9).empty());
    QCOMPARE(link.bytesReceived(), 1LL);
    QVERIFY(link.nextDueMs() < 0);
}

void FarendTest::hangsUpAfterAnsweringTheNthByte()
{
    LinkOptions o;
    o.hangupAfter = 2;
    Link link(o);
    link.received('0', 0);
    QVERIFY(!link.hangupDue(1000));
    link.received('1', 1);
    QCOMPARE(QByteArray::fromStdString(link.takeDue(1)), QByteArray("01"));
    QVERIFY(!link.hangupDue(1 + kHangupGraceMs - 0.1));
    QVERIFY(link.hangupDue(1 + kHangupGraceMs));
    link.received('2', 2);   // too late: the line is being cut
    QVERIFY(link.takeDue(1e9).empty());
}

void FarendTest::recognisesTheTestCycleAndWhereItBreaks()
{
    Link idle({});   // nothing received is no evidence of a good link
    QVERIFY(idle.summary().find("nothing arrived") != std::string::npos);
    QVERIFY(idle.summary().find("exact") == std::string::npos);

    Link exact({});
    const std::string cycle = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int i = 0; i < 100; ++i)
        exact.received(cycle[i % 36], 0);
    QVERIFY(exact.exactCycle());
    QVERIFY(exact.summary().find("test cycle exact") != std::string::npos);

    Link broken({});
    for (char c : std::string("0123X5"))
        broken.received(c, 0);
    QVERIFY(!broken.exactCycle());
    QCOMPARE(broken.firstMismatchAt(), 4LL);
    QVERIFY(broken.summary().find("broken at byte 5") != std::string::npos);

    Link late({});
    late.received('1', 0);   // not from "0"
    QVERIFY(!late.exactCycle());
}

QTEST_GUILESS_MAIN(FarendTest)
#include "test_farend.moc"
