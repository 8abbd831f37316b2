// A wrong speed or frame format recognised from what the chain carries: whether replies repeat
// from cycle to cycle (clean, a fixed mapping, noise), and which settings explain a mapping,
// named one way whatever the chain's jitter; a clean chain, random corruption and random replies
// name nothing.
#include "farend/device/simulateddevice.h"
#include "farend/diagnosis/explainer.h"
#include "farend/diagnosis/recogniser.h"
#include "farend/line/uart.h"

#include "testcycle/testcycle.h"

#include <QtTest>

#include <random>

namespace {

// The tester's test cycle, one byte every `periodMs` (each late by up to `jitterMs`, as a busy
// machine sends them), through farend's simulated far end; the matcher sees each byte and each
// reply when it passes.
void run(MappingRecogniser &m, const DeviceOptions &o, int count, double periodMs = 10,
         double jitterMs = 0, unsigned seed = 1)
{
    SimulatedDevice device(o);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> late(0, jitterMs);
    double next = 0;
    int sent = 0;
    for (double t = 0; t < count * periodMs + 200; t += 0.05) {
        if (sent < count && t >= next) {
            const auto byte = static_cast<unsigned char>(testcycle::at(sent));
            device.received(byte, t);
            m.sent(byte, t);
            ++sent;
            next = sent * periodMs + late(rng);
        }
        for (char c : device.takeDue(t))
            m.replied(static_cast<unsigned char>(c), t + 2);
    }
}

DeviceOptions farEnd(long rate)
{
    DeviceOptions o;
    o.wrongBaud = rate;
    o.latencyMs = 3;
    return o;
}

DeviceOptions chain(LineSettings device, LineSettings port = {0, 8, 'N', 1})
{
    DeviceOptions o;
    o.farDevice = device;
    o.serverPort = port;
    return o;
}

QString named(const MappingRecogniser &m, bool portFollows = false)
{
    const auto r = m.recogniseRun(portFollows);
    return r ? QString::fromStdString(r->code() + ": " + mappingText(*r)) : QString("nothing");
}

// Replies of a fixed mapping: each byte of the cycle answered with its own one or two bytes.
std::vector<unsigned char> mapped(int sends, double substitute, double lose, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::vector<unsigned char>> map(testcycle::kLength);
    for (auto &r : map)
        for (unsigned n = 1 + rng() % 2; n > 0; --n)
            r.push_back(static_cast<unsigned char>(rng()));
    std::uniform_real_distribution<double> chance(0, 1);
    std::vector<unsigned char> out;
    for (int i = 0; i < sends; ++i)
        for (unsigned char b : map[i % testcycle::kLength]) {
            if (chance(rng) < lose)
                continue;
            out.push_back(chance(rng) < substitute ? static_cast<unsigned char>(rng()) : b);
        }
    return out;
}

} // namespace

Q_DECLARE_METATYPE(DeviceOptions)

class SpeedMatchTest : public QObject {
    Q_OBJECT
private slots:
    void repliesAreReadAsCleanSystematicOrNoise();
    void aFarEndAtAnotherRateIsNamed_data();
    void aFarEndAtAnotherRateIsNamed();
    void farendsOwnChainsAreNamedWithTheirPlace_data();
    void farendsOwnChainsAreNamedWithTheirPlace();
    void aReceiverNoticingEdgesLateStillExplainsItsRate();
    void aServerThatAcknowledgedTheTestersSettingsLeavesTheFarDevice();
    void oneChainIsNamedOneWayWhateverItsJitter();
    void aMappingIsNamedThoughItsSteadiestReadingHasAWrongByte();
    void aMappingNoSettingExplainsIsSystematicNotNoise();
    void negativeControlsNameNothing();
    void aNewRunForgetsAndMemoryStaysWithinTheWindow();
    void repliesThatChangedJustNowAreTooFewToRead_data();
    void repliesThatChangedJustNowAreTooFewToRead();
};

void SpeedMatchTest::repliesAreReadAsCleanSystematicOrNoise()
{
    std::vector<unsigned char> clean;
    for (int i = 0; i < 288; ++i)
        clean.push_back(static_cast<unsigned char>(testcycle::at(i)));
    QCOMPARE(int(readReplyCycle(clean, 288).kind), int(ReplyCycle::Kind::Clean));
    QCOMPARE(int(readReplyCycle(clean, 71).kind), int(ReplyCycle::Kind::TooFew));

    // a mapping read through 1% of bytes changed and 1% lost: the same cycle, whatever the seed
    for (unsigned seed : {3u, 4u, 5u}) {
        std::vector<unsigned char> r = mapped(288, 0.01, 0.01, seed);
        const ReplyCycle c = readReplyCycle(r, 288);
        QCOMPARE(int(c.kind), int(ReplyCycle::Kind::Systematic));
        QVERIFY2(c.stable > 0.9, qPrintable(QString::number(c.stable)));
        // the cycle as the same mapping gives it without a fault
        QCOMPARE(canonicalCycle(c.image),
                 canonicalCycle(readReplyCycle(mapped(288, 0, 0, seed), 288).image));
    }

    // echoes with a third of them corrupted, and random bytes, do not repeat
    std::mt19937 rng(9);
    std::vector<unsigned char> corrupt = clean, noise;
    for (unsigned char &b : corrupt)
        if (rng() % 3 == 0)
            b ^= static_cast<unsigned char>(1u << (rng() % 8));
    for (int i = 0; i < 500; ++i)
        noise.push_back(static_cast<unsigned char>(rng()));
    QCOMPARE(int(readReplyCycle(corrupt, 288).kind), int(ReplyCycle::Kind::NotSystematic));
    QCOMPARE(int(readReplyCycle(noise, 288).kind), int(ReplyCycle::Kind::NotSystematic));
}

void SpeedMatchTest::aFarEndAtAnotherRateIsNamed_data()
{
    QTest::addColumn<int>("rate");
    for (int r : {1200, 2400, 4800, 19200, 38400, 115200})
        QTest::newRow(qPrintable(QString::number(r))) << r;
}

void SpeedMatchTest::aFarEndAtAnotherRateIsNamed()
{
    QFETCH(int, rate);
    MappingRecogniser m;
    run(m, farEnd(rate), 400);
    QVERIFY2(named(m).contains(QString("a far end reading at %1").arg(rate)), qPrintable(named(m)));
    QVERIFY(named(m).startsWith("wrong-speed: "));
    QCOMPARE(QString::fromStdString(mappingStep(*m.recogniseRun())),
             QString("set the far device to 9600 8N1"));
}

void SpeedMatchTest::farendsOwnChainsAreNamedWithTheirPlace_data()
{
    QTest::addColumn<DeviceOptions>("options");
    QTest::addColumn<QString>("words");
    QTest::addColumn<QString>("step");
    const QString device = "set the far device to 9600 8N1";
    QTest::newRow("7E1 far device") << chain({9600, 7, 'E', 1})
                                    << "wrong-format: the far device at 9600 7E1 or 7E2 (the stop "
                                       "bits do not show)"
                                    << device;
    const QString both = "set the far device and the device server's port both to 9600 8N1 "
                         "(for ser2net: the connector's 9600n81)";
    // its twin, a port at 9600 * 9600 / 31250 baud, named after it
    QTest::newRow("31250 far device") << chain({31250, 8, 'N', 1})
                                      << "wrong-speed: the far device at about 31 250 baud" << both;
    // explained as well by 57600 8E1 and 38400 6N1: the one off the tester's in rate alone first
    QTest::newRow("56000 far device") << chain({56000, 8, 'N', 1})
                                      << "wrong-speed: the far device at about 56 000 baud" << both;
    QTest::newRow("57600 server's port")
        << chain({0, 8, 'N', 1}, {57600, 8, 'N', 1})
        << "wrong-speed: the device server's port at 57600 8N1, 8M1, 8N2 or 8M2"
        << "set the device server's port to 9600 8N1 (for ser2net: the connector's 9600n81)";
    // a far device at 19200 gives what a port at 4800 gives: both named, the far device first
    QTest::newRow("19200 far device")
        << chain({19200, 8, 'N', 1})
        << "wrong-speed: the far device at 19200 baud (the frame format does not show), or the "
           "device server's port at 4800 baud (the frame format does not show): they give the "
           "same replies"
        << both;
}

void SpeedMatchTest::farendsOwnChainsAreNamedWithTheirPlace()
{
    QFETCH(DeviceOptions, options);
    QFETCH(QString, words);
    QFETCH(QString, step);
    MappingRecogniser m;
    run(m, options, 400);
    QVERIFY2(named(m).startsWith(words), qPrintable(named(m)));
    QCOMPARE(QString::fromStdString(mappingStep(*m.recogniseRun())), step);
    QCOMPARE(m.searches(), 1LL);   // one mapping, one search
}

void SpeedMatchTest::aReceiverNoticingEdgesLateStillExplainsItsRate()
{
    // a far device at 56 000 8N1 whose echoes the port's 16x receiver notices 5.4 us late (a
    // real ser2net port, measured): read with the edge taken at once, only 57 600 and up fit
    const LineSettings device{56000, 8, 'N', 1};
    EchoChain chain(kTesterLine, device, true, 5.4e-6 * 9600);
    std::vector<UartLine::Received> got;
    const int n = testcycle::kLength;
    for (int i = 0; i < 2 * n; ++i) {
        if (i == n)
            got.clear();
        chain.send(static_cast<unsigned char>(testcycle::at(i % n)), i * 10.0);
        chain.receive((i + 1) * 10.0, got);
    }
    std::string image;
    for (const UartLine::Received &r : got)
        image += char(r.byte);
    bool fits = false;
    for (const Fit &f : explainCycle(image, kTesterLine, 10).fits)
        for (const RateSpan &span : f.rates)
            fits = fits || (f.where == Place::FarDevice && f.format.format() == "8N1" &&
                            span.low <= device.baud && span.high >= device.baud);
    QVERIFY(fits);
}

void SpeedMatchTest::aServerThatAcknowledgedTheTestersSettingsLeavesTheFarDevice()
{
    MappingRecogniser m;
    run(m, chain({19200, 8, 'N', 1}), 400);
    QCOMPARE(named(m, true),
             QString("wrong-speed: the far device at 19200 baud (the frame format does not show)"));
    // a port at 4800 behind a server that says 9600: its twin, a far device at 19200, is named
    MappingRecogniser port;
    run(port, chain({0, 8, 'N', 1}, {4800, 8, 'N', 1}), 400);
    QVERIFY2(named(port, true).startsWith("wrong-speed: the far device at 19200"),
             qPrintable(named(port, true)));
    // a port at 57600, whose twin would be a far device at an odd 1600 baud: the port is named,
    // and that it does not follow what its server reported
    MappingRecogniser fast;
    run(fast, chain({0, 8, 'N', 1}, {57600, 8, 'N', 1}), 400);
    QVERIFY2(named(fast, true).startsWith("wrong-speed: the device server's port at 57600") &&
                 named(fast, true).endsWith(", although the device server reported it at the "
                                            "tester's 9600 8N1"),
             qPrintable(named(fast, true)));
    QVERIFY(mappingStep(*fast.recogniseRun(true))
                .find("check that the port takes the settings it acknowledges") !=
            std::string::npos);
}

void SpeedMatchTest::oneChainIsNamedOneWayWhateverItsJitter()
{
    // a far device faster than the tester, whose echoes come back to back, and one slower
    for (const DeviceOptions &o : {chain({115200, 8, 'N', 1}), chain({4800, 8, 'N', 1})}) {
        QStringList names;
        for (unsigned seed : {1u, 2u, 3u}) {
            MappingRecogniser m;
            run(m, o, 500, 10, 0.6, seed);
            names << named(m);
        }
        QVERIFY2(names[0] != "nothing" && names.count(names[0]) == 3, qPrintable(names.join('\n')));
    }
}

void SpeedMatchTest::aMappingIsNamedThoughItsSteadiestReadingHasAWrongByte()
{
    // a far end at 19200 whose replies repeat only about 92% for most of the run, then for the
    // rest all alike but with one byte of each cycle read wrong: the steadiest reading holds it
    SimulatedDevice device(farEnd(19200));
    MappingRecogniser m;
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> chance(0, 1);
    int sent = 0, lastSent = 0;
    for (double t = 0; t < 800 * 10 + 200; t += 0.05) {
        if (sent < 800 && t >= sent * 10) {
            const auto byte = static_cast<unsigned char>(testcycle::at(sent));
            device.received(byte, t);
            m.sent(byte, t);
            lastSent = sent++;
        }
        for (char c : device.takeDue(t)) {
            auto reply = static_cast<unsigned char>(c);
            if (lastSent < 400 && chance(rng) < 0.08)
                reply = static_cast<unsigned char>(rng());
            else if (lastSent >= 400 && lastSent % testcycle::kLength == 5)
                reply = 0;
            m.replied(reply, t + 2);
        }
    }
    QVERIFY2(named(m).startsWith("wrong-speed: a far end reading at 19200"), qPrintable(named(m)));
}

void SpeedMatchTest::aMappingNoSettingExplainsIsSystematicNotNoise()
{
    // every byte answered with its bits inverted (a line with its levels the wrong way round
    // answers so), the same every cycle
    MappingRecogniser m;
    for (int i = 0; i < 300; ++i) {
        const auto b = static_cast<unsigned char>(testcycle::at(i));
        m.sent(b, i * 10.0);
        m.replied(static_cast<unsigned char>(~b), i * 10.0 + 3);
    }
    const auto r = m.recogniseRun();
    QVERIFY(r.has_value());
    QCOMPARE(QString::fromStdString(r->code()), QString("systematic"));
    QVERIFY(mappingText(*r).find("a fixed mapping") != std::string::npos);
    QVERIFY(mappingStep(*r).find("echoes each byte unchanged") != std::string::npos);

    // clean for most of a run, then the mapping: the run is named for the mapping
    MappingRecogniser later;
    for (int i = 0; i < 1100; ++i) {
        const auto b = static_cast<unsigned char>(testcycle::at(i));
        later.sent(b, i * 10.0);
        later.replied(static_cast<unsigned char>(i < 600 ? b : ~b), i * 10.0 + 3);
    }
    QVERIFY(later.recogniseRun().has_value());
    QCOMPARE(QString::fromStdString(later.recogniseRun()->code()), QString("systematic"));
}

void SpeedMatchTest::negativeControlsNameNothing()
{
    DeviceOptions clean;
    clean.latencyMs = 3;
    MappingRecogniser c;
    run(c, clean, 300);
    QCOMPARE(named(c), QString("nothing"));
    QCOMPARE(named(MappingRecogniser()), QString("nothing"));   // nothing carried yet

    DeviceOptions flipped;
    flipped.corruptPercent = 30;
    MappingRecogniser f;
    run(f, flipped, 300);
    QCOMPARE(named(f), QString("nothing"));

    std::mt19937 rng(7);
    MappingRecogniser noise;
    for (int i = 0; i < 300; ++i) {
        noise.sent(static_cast<unsigned char>(testcycle::at(i)), i * 10.0);
        for (int k = 1 + int(rng() % 3); k > 0; --k)
            noise.replied(static_cast<unsigned char>(rng()), i * 10.0 + 3 + k);
    }
    QCOMPARE(named(noise), QString("nothing"));
    QCOMPARE(c.searches() + f.searches() + noise.searches(), 0LL);
}

void SpeedMatchTest::aNewRunForgetsAndMemoryStaysWithinTheWindow()
{
    MappingRecogniser m;
    run(m, farEnd(19200), 300);
    QVERIFY(m.recognise().has_value());
    m.newRun();
    QVERIFY(!m.recognise().has_value());
    QCOMPARE(m.held(), std::size_t(0));

    for (int i = 0; i < 100000; ++i)
        m.replied(0x55, i);   // a flood with nothing sent
    QCOMPARE(m.held(), std::size_t(0));
    for (int i = 0; i < 100000; ++i) {
        m.sent(static_cast<unsigned char>(testcycle::at(i)), 100000 + i);
        m.replied(0x55, 100000 + i);
        m.replied(0x56, 100000 + i);
    }
    QVERIFY(m.held() <= 9 * MappingRecogniser::kWindow);
    run(m, farEnd(2400), 2000);
    QVERIFY(m.held() <= 9 * MappingRecogniser::kWindow);
    QVERIFY(m.recognise().has_value());
}

void SpeedMatchTest::repliesThatChangedJustNowAreTooFewToRead_data()
{
    QTest::addColumn<QByteArray>("tail");   // the newest replies: e an echo, x a changed one
    QTest::addColumn<bool>("changedLately");
    // a far device set otherwise a few bytes before an interval ends: not noise, not yet read
    QTest::newRow("two changed at the end") << QByteArray("eexx") << true;
    // a new mapping that leaves some bytes as they were
    QTest::newRow("five changed among echoes") << QByteArray("xxxxeeeeexee") << true;
    QTest::newRow("one changed at the end") << QByteArray("eeex") << true;
    QTest::newRow("one changed, two echoes after it") << QByteArray("eexee") << false;
    // noise spreads them over the cycle
    QTest::newRow("one early, one at the end")
        << QByteArray("x").append(QByteArray(26, 'e')).append('x') << false;
}

void SpeedMatchTest::repliesThatChangedJustNowAreTooFewToRead()
{
    QFETCH(QByteArray, tail);
    QFETCH(bool, changedLately);
    MappingRecogniser m;
    const int sends = 8 * testcycle::kLength, from = sends - int(tail.size());
    for (int i = 0; i < sends; ++i) {
        const auto byte = static_cast<unsigned char>(testcycle::at(i));
        m.sent(byte, i * 10.0);
        m.replied(i >= from && tail[i - from] == 'x' ? 0xff : byte, i * 10.0 + 3);
    }
    QCOMPARE(m.changedLately(), changedLately);
    QCOMPARE(m.cyclesRead(), !changedLately);
}

QTEST_GUILESS_MAIN(SpeedMatchTest)
#include "test_speedmatch.moc"
