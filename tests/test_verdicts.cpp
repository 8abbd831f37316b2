// The verdict on a run: each one's trigger and its boundary, with the figures and words the
// engineer reads.
#include "farend/diagnosis/verdicts.h"

#include <QtTest>

namespace {
ChainFigures cleanRun()
{
    ChainFigures f;
    f.sent = f.echoed = 1008;
    f.late = 3;
    f.rttMedianMs = 3.3;
    f.wireMs = wireTimeMs(9600, 10);
    f.reporter = "the device server";
    f.lineErrors.framing = f.lineErrors.parity = f.lineErrors.overrun = f.lineErrors.breaks = 0;
    f.modemChanges = 0;
    return f;
}

QStringList codes(const ChainFigures &f)
{
    QStringList out;
    for (const Verdict &v : verdicts(f))
        out << QString::fromStdString(v.code);
    return out;
}

double figure(const Verdict &v, const std::string &name)
{
    for (const auto &[n, value] : v.figures)
        if (n == name)
            return value;
    return -12345;
}
} // namespace

class VerdictsTest : public QObject {
    Q_OBJECT
private slots:
    void aCleanRunSaysHowManyEchoedAndHowManyLate();
    void lateIsCalledAboveItsShareAndSaysWhereTheTimeGoes();
    void lostSaysWhatTheDeviceServerReportedOrThatItDidNot();
    void eachReportedLineErrorGivesItsVerdictFromOne_data();
    void eachReportedLineErrorGivesItsVerdictFromOne();
    void aRecognisedSettingAccountsForWhatItExplains();
    void silentAndIdleRuns();
    void theTimeSplitIsNeverNegative();
};

void VerdictsTest::aCleanRunSaysHowManyEchoedAndHowManyLate()
{
    const auto v = verdicts(cleanRun());
    QCOMPARE(v.size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(v[0].code), QString("clean"));
    QCOMPARE(QString::fromStdString(v[0].text), QString("clean: 1008 of 1008 echoed, 0.3% late"));
    QCOMPARE(figure(v[0], "echoed"), 1008.0);
    // a driver that reports nothing does not make a clean run less clean
    ChainFigures raw = cleanRun();
    raw.reporter.clear();
    raw.lineErrors = {};
    raw.modemChanges = std::nullopt;
    QCOMPARE(codes(raw), QStringList{"clean"});
}

void VerdictsTest::lateIsCalledAboveItsShareAndSaysWhereTheTimeGoes()
{
    ChainFigures f = cleanRun();
    f.sent = f.echoed = 1000;
    f.late = 50;   // exactly the share: still clean
    QCOMPARE(codes(f), QStringList{"clean"});
    f.late = 51;
    QCOMPARE(codes(f), QStringList{"late"});

    f.late = 950;
    f.rttMedianMs = 25;
    f.lanRttMs = 0.2;
    auto v = verdicts(f);
    QCOMPARE(QString::fromStdString(v[0].text),
             QString("late: 95.0% of echoes miss the tester's 5 ms read; the LAN accounts for "
                     "0.2 ms of the 25 ms median, so the time goes behind the device server"));
    QCOMPARE(figure(v[0], "lan_rtt_ms"), 0.2);
    f.lanRttMs = 12.5;   // half the median and more: the LAN
    QVERIFY(verdicts(f)[0].text.find("so the time goes on the LAN") != std::string::npos);
    f.lanRttMs = std::nullopt;   // a serial target: only the wire is known
    QVERIFY(verdicts(f)[0].text.find("the wire accounts for 2.1 ms of the 25 ms median") !=
            std::string::npos);
}

void VerdictsTest::lostSaysWhatTheDeviceServerReportedOrThatItDidNot()
{
    ChainFigures f = cleanRun();
    f.sent = 1031;
    f.echoed = 1008;
    f.lost = 23;
    auto v = verdicts(f);
    QCOMPARE(codes(f), QStringList{"lost"});
    QCOMPARE(QString::fromStdString(v[0].text),
             QString("lost 23 echoes (2.2%); the device server reported no overrun and no "
                     "framing error"));
    f.lineErrors.framing = f.lineErrors.overrun = std::nullopt;
    QCOMPARE(QString::fromStdString(verdicts(f)[0].text),
             QString("lost 23 echoes (2.2%); the device server did not report its line errors"));
    f.reporter.clear();   // raw TCP: nobody to ask
    QCOMPARE(QString::fromStdString(verdicts(f)[0].text), QString("lost 23 echoes (2.2%)"));
    f.lost = 1;
    QCOMPARE(QString::fromStdString(verdicts(f)[0].text), QString("lost 1 echo (0.10%)"));
}

void VerdictsTest::eachReportedLineErrorGivesItsVerdictFromOne_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("words");
    QTest::newRow("framing") << "framing" << "framing-errors"
                             << "framing errors reported by the device server (1): its serial "
                                "side and the far device disagree on speed or format";
    QTest::newRow("parity") << "parity" << "parity-errors" << "parity errors reported by";
    QTest::newRow("overrun") << "overrun" << "overrun" << "overruns reported by";
    QTest::newRow("buffer overrun") << "buffer" << "overrun" << "overruns reported by";
    QTest::newRow("break") << "break" << "breaks" << "breaks reported by";
    QTest::newRow("modem") << "modem" << "modem-lines" << "the modem lines changed 1 time:";
}

void VerdictsTest::eachReportedLineErrorGivesItsVerdictFromOne()
{
    QFETCH(QString, kind);
    QFETCH(QString, code);
    QFETCH(QString, words);
    ChainFigures f = cleanRun();
    f.lineErrors.bufferOverrun = 0;
    LineErrorCounts &l = f.lineErrors;
    std::optional<long long> *field = kind == "framing" ? &l.framing
                                      : kind == "parity" ? &l.parity
                                      : kind == "overrun" ? &l.overrun
                                      : kind == "buffer" ? &l.bufferOverrun
                                      : kind == "break" ? &l.breaks
                                                        : &f.modemChanges;
    QCOMPARE(codes(f), QStringList{"clean"});   // zero: nothing to say
    *field = 1;
    QCOMPARE(codes(f), QStringList{code});
    QVERIFY(QString::fromStdString(verdicts(f)[0].text).startsWith(words));
}

void VerdictsTest::aRecognisedSettingAccountsForWhatItExplains()
{
    ChainFigures f = cleanRun();
    f.echoed = 0;
    f.changed = 1008;
    QCOMPARE(codes(f), QStringList{"changed"});
    QVERIFY(verdicts(f)[0].text.find("changed 1008 echoes (100.0%)") == 0);

    // a far device at 19200 8N1, or a port at 4800: changed, lost, extra and the framing errors
    // it makes the server's UART see are its own, so no verdict of theirs is added
    SpeedMatch m;
    m.tester = kTesterLine;
    m.named = {{Place::FarDevice, false, 19200, 19200, 19200, {{0, 8, 'N', 1}}},
               {Place::ServerPort, false, 4800, 4800, 4800, {{0, 8, 'N', 2}}}};
    m.framingPerCycle = 12;
    f.speed = m;
    f.changed = 640;
    f.lost = 3;
    f.extra = 990;
    f.lineErrors.framing = 400;
    f.lineErrors.parity = 5;   // not what this setting makes: still said
    auto v = verdicts(f);
    QCOMPARE(codes(f), (QStringList{"wrong-speed", "parity-errors"}));
    QCOMPARE(QString::fromStdString(v[0].text),
             QString("wrong speed: the far device at 19200 8N1, or the device server's port at "
                     "4800 8N2: they give the same replies, against the tester's 9600 8N1; that "
                     "explains 640 changed, 3 lost and 990 extra replies and the 400 framing "
                     "errors reported by the device server"));
    QCOMPARE(QString::fromStdString(v[0].step),
             QString("set the far device and the device server's port both to 9600 8N1 (for "
                     "ser2net: the connector's 9600n81)"));
    QCOMPARE(figure(v[0], "rate"), 19200.0);

    // the tester's speed in another format; the speed and the format both
    m.named = {{Place::FarDevice, false, 9600, 9600, 9600, {{0, 7, 'E', 1}, {0, 7, 'E', 2}}}};
    f.speed = m;
    QCOMPARE(verdicts(f)[0].code, std::string("wrong-format"));
    QVERIFY(verdicts(f)[0].text.find("wrong frame format: the far device at 9600 7E1 or 7E2 (the "
                                     "stop bits do not show)") == 0);
    m.named = {{Place::ServerPort, true, 31250, 30500, 34300, {{0, 7, 'O', 1}}}};
    f.speed = m;
    QCOMPARE(verdicts(f)[0].code, std::string("wrong-speed-and-format"));
    QVERIFY(verdicts(f)[0].text.find("the device server's port at about 31 250 baud (30 500 to "
                                     "34 300) 7O1") != std::string::npos);

    // a fixed mapping no setting explains: its own verdict, neither noise nor "changed"
    m.named.clear();
    m.stable = 0.98;
    f.speed = m;
    f.lineErrors.parity = 0;
    v = verdicts(f);
    QCOMPARE(codes(f), (QStringList{"systematic", "framing-errors"}));
    QVERIFY2(v[0].text.find("systematic: 640 changed, 3 lost and 990 extra replies; the replies "
                            "are a fixed mapping") == 0,
             v[0].text.c_str());
    QVERIFY(!v[0].step.empty());
}

void VerdictsTest::silentAndIdleRuns()
{
    ChainFigures f = cleanRun();
    f.echoed = 0;
    f.lost = 1008;
    QCOMPARE(codes(f), QStringList{"silent"});   // not also "lost 100%"
    f.extra = 1;   // something came back: not silent
    QCOMPARE(codes(f), (QStringList{"lost", "extra"}));
    f.sent = 0;
    QCOMPARE(codes(f), QStringList{"idle"});
}

void VerdictsTest::theTimeSplitIsNeverNegative()
{
    const TimeSplit s = splitRoundTrip(6.5, 0.05, wireTimeMs(9600, 10));
    QVERIFY(qAbs(s.wireMs - 2.0833) < 0.001);
    QVERIFY(qAbs(s.restMs - (6.5 - 0.05 - 2.0833)) < 0.001);
    QCOMPARE(splitRoundTrip(1.0, 0.5, 2.08).restMs, 0.0);
    QVERIFY(!splitRoundTrip(1.0, std::nullopt, 0).lanMs.has_value());
    QCOMPARE(wireTimeMs(0, 10), 0.0);
}

QTEST_GUILESS_MAIN(VerdictsTest)
#include "test_verdicts.moc"
