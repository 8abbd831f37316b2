// A wrong speed recognised from what the chain carries: replies made by farend's own wrong-rate
// far end are named, a clean chain and random corruption are not.
#include "farend/device/link.h"
#include "farend/diagnosis/speedmatch.h"
#include "farend/line/uart.h"

#include "testcycle/testcycle.h"

#include <QtTest>

#include <random>

namespace {

// The tester's test cycle, one byte every `periodMs`, through farend's simulated far end; the
// matcher sees each byte and each reply when it passes.
void run(SpeedMatcher &m, const LinkOptions &o, int count, double periodMs = 10)
{
    Link link(o);
    const double end = count * periodMs + 100;
    int next = 0;
    for (double t = 0; t < end; t += 0.25) {
        if (next < count && t >= next * periodMs) {
            const auto byte = static_cast<unsigned char>(testcycle::at(next));
            link.received(byte, t);
            m.sent(byte, t);
            ++next;
        }
        for (char c : link.takeDue(t))
            m.replied(static_cast<unsigned char>(c), t);
    }
}

LinkOptions wrongBaud(long rate)
{
    LinkOptions o;
    o.wrongBaud = rate;
    o.latencyMs = 3;
    return o;
}
} // namespace

class SpeedMatchTest : public QObject {
    Q_OBJECT
private slots:
    void aFarEndAtAnotherRateIsNamed_data();
    void aFarEndAtAnotherRateIsNamed();
    void aCleanChainNamesNothing();
    void randomCorruptionNamesNothing();
    void aFewLostRepliesDoNotHideTheRate();
    void aFarDeviceAnsweringAtItsOwnFormatIsNamedWithItsPlace();
    void aDeviceServersPortAtHalfTheRateIsNamedBesideItsTwin();
    void aNewRunForgetsWhatWasSentBefore();
    void memoryStaysWithinTheWindowWhateverComes();
};

void SpeedMatchTest::aFarEndAtAnotherRateIsNamed_data()
{
    QTest::addColumn<int>("rate");
    for (int r : {1200, 2400, 4800, 19200, 38400, 57600, 115200})
        QTest::newRow(qPrintable(QString::number(r))) << r;
}

void SpeedMatchTest::aFarEndAtAnotherRateIsNamed()
{
    QFETCH(int, rate);
    SpeedMatcher m;
    run(m, wrongBaud(rate), 300);
    const auto match = m.recognise();
    QVERIFY(match.has_value());
    QCOMPARE(int(match->where), int(SpeedMatch::Where::FarEnd));
    QCOMPARE(match->other.text(), LineSettings({std::uint32_t(rate), 8, 'N', 1}).text());
    QCOMPARE(QString::fromStdString(match->text()),
             QString("the replies are what a far end at %1 baud 8N1 makes of the tester's "
                     "9600 8N1").arg(rate));
    QVERIFY(match->changed * 2 > match->replies);
    QVERIFY(match->explained * 4 >= match->replies * 3);
}

void SpeedMatchTest::aCleanChainNamesNothing()
{
    SpeedMatcher m;
    LinkOptions o;
    o.latencyMs = 3;
    run(m, o, 300);
    QVERIFY(!m.recognise().has_value());
    SpeedMatcher none;
    QVERIFY(!none.recognise().has_value());   // nothing carried yet
}

void SpeedMatchTest::randomCorruptionNamesNothing()
{
    // every reply with a bit flipped
    SpeedMatcher flipped;
    LinkOptions o;
    o.corruptPercent = 100;
    run(flipped, o, 300);
    QVERIFY(!flipped.recognise().has_value());

    // and replies of random bytes, one to three for each byte sent
    std::mt19937 rng(7);
    SpeedMatcher noise;
    for (int i = 0; i < 300; ++i) {
        noise.sent(static_cast<unsigned char>(testcycle::at(i)), i * 10.0);
        const int n = 1 + int(rng() % 3);
        for (int k = 0; k < n; ++k)
            noise.replied(static_cast<unsigned char>(rng()), i * 10.0 + 3 + k);
    }
    QVERIFY(!noise.recognise().has_value());
}

void SpeedMatchTest::aFewLostRepliesDoNotHideTheRate()
{
    SpeedMatcher m;
    LinkOptions o = wrongBaud(19200);
    o.dropPercent = 5;
    run(m, o, 300);
    const auto match = m.recognise();
    QVERIFY(match.has_value());
    QCOMPARE(match->other.text(), std::string("19200 8N1"));
}

namespace {
// Both directions of a chain whose far device is at `far` and whose device server's port is at
// `port`: what the far device reads and echoes, and what the port reads of the echo.
void chain(SpeedMatcher &m, const LineSettings &port, const LineSettings &far, int count)
{
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(testcycle::at(i));
        const double at = i * 10.0;
        m.sent(byte, at);
        UartLine out(port, far), back(far, port);
        out.send(byte, at);
        std::vector<UartLine::Received> atFar, atPort;
        out.receiveAll(atFar);
        for (const auto &r : atFar)
            back.send(r.byte, r.atMs);
        back.receiveAll(atPort);
        for (const auto &r : atPort)
            m.replied(r.byte, r.atMs + 2);
    }
}
} // namespace

void SpeedMatchTest::aFarDeviceAnsweringAtItsOwnFormatIsNamedWithItsPlace()
{
    SpeedMatcher m;
    chain(m, kTesterLine, {19200, 7, 'E', 1}, 200);
    const auto match = m.recognise();
    QVERIFY(match.has_value());
    QCOMPARE(int(match->where), int(SpeedMatch::Where::FarDevice));
    QCOMPARE(match->other.baud, 19200u);
    QCOMPARE(QString::fromStdString(match->text()).left(45),
             QString("the replies are what a far device at 19200 ba"));
}

void SpeedMatchTest::aDeviceServersPortAtHalfTheRateIsNamedBesideItsTwin()
{
    SpeedMatcher m;
    chain(m, {4800, 8, 'N', 1}, kTesterLine, 200);
    const auto match = m.recognise();
    QVERIFY(match.has_value());
    // with each byte alone on the line this is what a far device at 19200 gives: both are named
    QCOMPARE(int(match->where), int(SpeedMatch::Where::FarDevice));
    QCOMPARE(match->other.text(), std::string("19200 8N1"));
    QCOMPARE(match->alike.size(), std::size_t(1));
    QCOMPARE(int(match->alike[0].where), int(SpeedMatch::Where::ServerPort));
    QCOMPARE(match->alike[0].other.text(), std::string("4800 8N1"));
    QVERIFY(match->text().find(", or what a device server's port at 4800 baud 8N1 reads back "
                               "from a far device at the tester's 9600 8N1") != std::string::npos);

    // at 57600 the twin would be a far device at 1600 baud, which no one uses: the port alone
    SpeedMatcher fast;
    chain(fast, {57600, 8, 'N', 1}, kTesterLine, 200);
    const auto port = fast.recognise();
    QVERIFY(port.has_value());
    QCOMPARE(int(port->where), int(SpeedMatch::Where::ServerPort));
    QCOMPARE(port->other.text(), std::string("57600 8N1"));
    QVERIFY(port->alike.empty());
}

void SpeedMatchTest::aNewRunForgetsWhatWasSentBefore()
{
    SpeedMatcher m;
    run(m, wrongBaud(19200), 300);
    QVERIFY(m.recognise().has_value());
    m.newRun();
    QVERIFY(!m.recognise().has_value());
    QCOMPARE(m.held(), std::size_t(0));
}

void SpeedMatchTest::memoryStaysWithinTheWindowWhateverComes()
{
    SpeedMatcher m({9600, 8, 'N', 1}, 64);
    for (int i = 0; i < 100000; ++i)
        m.replied(0x55, i);   // a flood with nothing sent
    QVERIFY(m.held() <= 5 * 64);
    for (int i = 0; i < 100000; ++i)
        m.sent('0', 100000 + i);
    QVERIFY(m.held() <= 5 * 64);
    // and recognition still works on the window after a long run
    run(m, wrongBaud(2400), 2000);
    QVERIFY(m.held() <= 5 * 64);
    QVERIFY(m.recognise().has_value());
    QCOMPARE(m.recognise()->other.text(), std::string("2400 8N1"));
}

QTEST_GUILESS_MAIN(SpeedMatchTest)
#include "test_speedmatch.moc"
