// The verdict on a run: each one's trigger and its boundary, with the figures and words the
// engineer reads.
#include "farend/diagnosis/verdicts.h"

#include <QtTest>

namespace {
SpanFigures cleanRun()
{
    SpanFigures f;
    f.echoes.sends = f.echoes.echoed = 1008;
    f.echoes.late = 3;
    f.roundTrip.p50Ms = 3.3;
    f.wireMs = wireTimeMs(9600, 10);
    f.reporter = "the device server";
    f.lineErrors.framing = f.lineErrors.parity = f.lineErrors.overrun = f.lineErrors.breaks = 0;
    f.modemChanges = 0;
    return f;
}

QStringList codes(const SpanFigures &f)
{
    QStringList out;
    for (const Verdict &v : verdicts(f))
        out << QString::fromStdString(v.code);
    return out;
}

const Verdict &find(const std::vector<Verdict> &all, const std::string &code)
{
    static const Verdict none{"none", {}, ""};
    for (const Verdict &v : all)
        if (v.code == code)
            return v;
    return none;
}

// A figure's value, whichever kind; -12345 where it is missing or not measured.
double figure(const Verdict &v, const std::string &name)
{
    for (const Figure &f : v.figures) {
        if (f.name != name)
            continue;
        if (const long long *n = std::get_if<long long>(&f.value))
            return double(*n);
        if (const double *d = std::get_if<double>(&f.value))
            return *d;
    }
    return -12345;
}

// The figures with their median split as the relay's meter splits it, `unheldMs` what an echo
// takes that nothing holds, where echoes were held.
SpanFigures budgeted(SpanFigures f, std::optional<double> unheldMs = std::nullopt)
{
    f.split = splitRoundTrip(f.roundTrip.p50Ms, f.lanRttMs, f.wireMs,
                             {f.roundTrip.p50Ms, unheldMs});
    return f;
}

// A chain behind a device server that holds each echo for the next send: on loopback, every
// echo released one LAN round trip after a later send, where it would have taken 3.1 ms.
SpanFigures heldBehindNagle()
{
    SpanFigures f;
    f.echoes.sends = f.echoes.echoed = f.echoes.released = f.echoes.late = 1000;
    f.echoes.reads = f.echoes.replies = 1000;
    f.roundTrip.p50Ms = 10.0;
    f.roundTrip.p99Ms = 12.3;
    f.lanRttMs = 0.01;
    f.wireMs = wireTimeMs(9600, 10);
    f.line = kTesterLine;
    f.periodMs = 10;
    f.tcp = TcpCounts{};
    f.serverPort = "2001";
    return budgeted(f, 3.1);
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
    void aDeviceServerHoldingEchoesIsNamedWithItsFix();
    void retransmitsAreNamedAndExplainATail();
    void aMedianShorterThanTheLineIsAnsweredBeforeIt();
    void theLateVerdictNamesItsCause();
    void everyVerdictHasAStep();
};

void VerdictsTest::aCleanRunSaysHowManyEchoedAndHowManyLate()
{
    const auto v = verdicts(cleanRun());
    QCOMPARE(v.size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(v[0].code), QString("clean"));
    QCOMPARE(QString::fromStdString(v[0].text),
             QString("clean: 1008 of 1008 echoed, 0.3% of them late"));
    QCOMPARE(figure(v[0], "echoed"), 1008.0);
    // a driver that reports nothing does not make a clean run less clean
    SpanFigures raw = cleanRun();
    raw.reporter.clear();
    raw.lineErrors = {};
    raw.modemChanges = std::nullopt;
    QCOMPARE(codes(raw), QStringList{"clean"});
}

void VerdictsTest::lateIsCalledAboveItsShareAndSaysWhereTheTimeGoes()
{
    SpanFigures f = cleanRun();
    f.echoes.sends = f.echoes.echoed = 1000;
    f.echoes.late = 50;   // exactly the share: still clean
    QCOMPARE(codes(f), QStringList{"clean"});
    f.echoes.late = 51;
    QCOMPARE(codes(f), QStringList{"late"});
    // one share, late / echoes: changed replies do not dilute it
    f.echoes.changed = 1000;
    f.echoes.sends = 2000;
    QCOMPARE(figure(find(verdicts(f), "late"), "share"), 0.051);
    f.echoes.changed = 0;
    f.echoes.sends = 1000;

    // a far device that takes 20 ms: more than a device server's own wait can explain
    f.echoes.late = 950;
    f.roundTrip.p50Ms = 25;
    f.lanRttMs = 0.2;
    f.periodMs = 10;
    auto v = verdicts(budgeted(f));
    QCOMPARE(QString::fromStdString(v[0].text),
             QString("late: 95.0% of the echoes miss the tester's 5 ms read; of the 25 ms median, "
                     "the device server and the far device 23 ms, alone enough to miss it; the "
                     "read can never be met with this far device, whatever the device server "
                     "does"));
    QCOMPARE(QString::fromStdString(v[0].step),
             QString("the far device takes about 21 ms to answer, beyond the device server's own "
                     "wait: make it answer sooner"));
    QCOMPARE(figure(v[0], "lan_rtt_ms"), 0.2);
    QCOMPARE(figure(v[0], "late"), 950.0);
    QVERIFY(qAbs(figure(v[0], "rest_ms") - (25 - 0.2 - f.wireMs)) < 1e-9);
    // too few echoes to tell a device server's holding from it: no word on the far device yet
    SpanFigures few = f;
    few.echoes.sends = few.echoes.echoed = few.echoes.late = 20;
    QVERIFY(verdicts(budgeted(few))[0].text.find("far device, whatever") == std::string::npos);
    QVERIFY(verdicts(budgeted(few))[0].step.find("`chardelay: false`") != std::string::npos);
    f.lanRttMs = std::nullopt;   // a serial target: an adapter's latency timer, then the device
    QVERIFY(verdicts(budgeted(f))[0].text.find("the adapter and the far device 23 ms") !=
            std::string::npos);
    f.serverPort = "4001";   // a device server whose LAN has no sample yet
    QVERIFY(verdicts(budgeted(f))[0].text.find("the device server and the far device") !=
            std::string::npos);
    QCOMPARE(figure(verdicts(budgeted(f))[0], "lan_rtt_ms"), -12345.0);   // not measured: null
}

void VerdictsTest::lostSaysWhatTheDeviceServerReportedOrThatItDidNot()
{
    SpanFigures f = cleanRun();
    f.echoes.sends = 1031;
    f.echoes.echoed = 1008;
    f.echoes.lost = 23;
    auto v = verdicts(f);
    QCOMPARE(codes(f), QStringList{"lost"});
    QCOMPARE(QString::fromStdString(v[0].text),
             QString("lost 23 echoes (2.2% of the sends); the device server reported no overrun "
                     "and no framing error"));
    QVERIFY(v[0].step.find("look at the far device") != std::string::npos);
    f.lineErrors.framing = f.lineErrors.overrun = std::nullopt;
    QCOMPARE(QString::fromStdString(verdicts(f)[0].text),
             QString("lost 23 echoes (2.2% of the sends); the device server did not report its "
                     "line errors"));
    f.reporter.clear();   // raw TCP: nobody to ask
    QCOMPARE(QString::fromStdString(verdicts(f)[0].text),
             QString("lost 23 echoes (2.2% of the sends)"));
    QVERIFY(verdicts(f)[0].step.find("rfc2217://") != std::string::npos);
    f.echoes.lost = 1;
    QCOMPARE(QString::fromStdString(verdicts(f)[0].text),
             QString("lost 1 echo (0.10% of the sends)"));
    QCOMPARE(figure(verdicts(f)[0], "lost"), 1.0);
    // a recognised speed explains its losses: no verdict of its own
    RecognisedMapping m;
    m.tester = kTesterLine;
    m.named = {{Place::FarDevice, false, 1200, 1200, 1200, {{0, 8, 'N', 1}}}};
    f.mapping = m;
    QVERIFY(!codes(f).contains("lost"));
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
    SpanFigures f = cleanRun();
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
    SpanFigures f = cleanRun();
    f.echoes.echoed = 0;
    f.echoes.changed = 1008;
    QCOMPARE(codes(f), QStringList{"changed"});
    QVERIFY(verdicts(f)[0].text.find("changed 1008 echoes (100.0% of the sends)") == 0);
    // before two cycles' replies could be compared, changed replies are not called noise
    f.cyclesRead = false;
    QVERIFY(verdicts(f)[0].text.find("too few test cycles yet") != std::string::npos);
    QVERIFY(verdicts(f)[0].text.find("noise, or") == std::string::npos);
    f.cyclesRead = true;

    // a far device at 19200 8N1, or a port at 4800: changed, lost, extra and the framing errors
    // it makes the server's UART see are its own, so no verdict of theirs is added
    RecognisedMapping m;
    m.tester = kTesterLine;
    m.named = {{Place::FarDevice, false, 19200, 19200, 19200, {{0, 8, 'N', 1}}},
               {Place::ServerPort, false, 4800, 4800, 4800, {{0, 8, 'N', 2}}}};
    m.framingPerCycle = 12;
    m.repliesPerCycle = 72;   // two replies a byte sent: the extra ones are its own
    f.mapping = m;
    f.echoes.changed = 640;
    f.echoes.lost = 3;   // a few beside its changed replies: pairing, not a loss of its own
    f.echoes.extra = 990;
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
    f.mapping = m;
    QCOMPARE(verdicts(f)[0].code, std::string("wrong-format"));
    QVERIFY(verdicts(f)[0].text.find("wrong frame format: the far device at 9600 7E1 or 7E2 (the "
                                     "stop bits do not show)") == 0);
    m.named = {{Place::ServerPort, true, 31250, 30500, 34300, {{0, 7, 'O', 1}}}};
    f.mapping = m;
    QCOMPARE(verdicts(f)[0].code, std::string("wrong-speed-and-format"));
    QVERIFY(verdicts(f)[0].text.find("the device server's port at about 31 250 baud (30 500 to "
                                     "34 300) 7O1") != std::string::npos);

    // a fixed mapping no setting explains: its own verdict, neither noise nor "changed"
    m.named.clear();
    m.stable = 0.98;
    f.mapping = m;
    f.lineErrors.parity = 0;
    v = verdicts(f);
    QCOMPARE(codes(f), (QStringList{"systematic", "framing-errors"}));
    QVERIFY2(v[0].text.find("systematic: 640 changed, 3 lost and 990 extra replies; the replies "
                            "are a fixed mapping") == 0,
             v[0].text.c_str());
    QVERIFY(!v[0].step.empty());

    // a run that lost replies before its far device was set wrong: a 7E1 device answers every
    // byte, so the losses are said on their own
    m.named = {{Place::FarDevice, false, 9600, 9600, 9600, {{0, 7, 'E', 1}}}};
    m.repliesPerCycle = 36;
    f.mapping = m;
    f.echoes.changed = 619;
    f.echoes.lost = 79;
    f.echoes.extra = 0;
    f.lineErrors.framing = 0;
    v = verdicts(f);
    QCOMPARE(codes(f), (QStringList{"wrong-format", "lost"}));
    QVERIFY2(v[0].text.find("that explains 619 changed replies") != std::string::npos,
             v[0].text.c_str());
}

void VerdictsTest::silentAndIdleRuns()
{
    SpanFigures f = cleanRun();
    f.echoes.echoed = 0;
    f.echoes.lost = 1008;
    QCOMPARE(codes(f), QStringList{"silent"});   // not also "lost 100%"
    f.echoes.extra = 1;   // something came back: not silent
    QCOMPARE(codes(f), (QStringList{"lost", "extra"}));
    f.echoes.sends = 0;
    QCOMPARE(codes(f), QStringList{"idle"});
}

void VerdictsTest::theTimeSplitIsNeverNegative()
{
    const TimeSplit s = splitRoundTrip(6.5, 0.05, wireTimeMs(9600, 10));
    QVERIFY(qAbs(s.wireMs - 2.0833) < 0.001);
    QVERIFY(qAbs(s.restMs - (6.5 - 0.05 - 2.0833)) < 0.001);
    QVERIFY(!s.beforeTheLine);
    QCOMPARE(splitRoundTrip(2.5, 0.5, 2.08).restMs, 0.0);   // a little short: no rest, no more
    QVERIFY(!splitRoundTrip(2.5, 0.5, 2.08).beforeTheLine);
    QVERIFY(splitRoundTrip(0.112, 0.004, 2.08).beforeTheLine);
    QVERIFY(!splitRoundTrip(1.0, std::nullopt, 0).lanMs.has_value());
    QCOMPARE(wireTimeMs(0, 10), 0.0);
}

void VerdictsTest::aDeviceServerHoldingEchoesIsNamedWithItsFix()
{
    SpanFigures f = heldBehindNagle();
    QCOMPARE(codes(f), (QStringList{"held-echoes", "late"}));
    Verdict held = verdicts(f)[0];
    QCOMPARE(QString::fromStdString(held.cause), QString("packing"));
    QCOMPARE(figure(held, "released"), 1000.0);
    QVERIFY(qAbs(figure(held, "held_ms") - 6.9) < 1e-9);
    QVERIFY2(held.step.find("`accepter: tcp(nodelay),2001`") != std::string::npos, held.step.c_str());
    QVERIFY2(held.text.find("waiting for the later send adds 6.9 ms to the 10 ms median") !=
                 std::string::npos,
             held.text.c_str());
    // a device server that named itself gets its own fix, with its way in
    f.server = "ser2net";
    f.rfc2217 = true;
    QCOMPARE(QString::fromStdString(verdicts(f)[0].step),
             QString("turn Nagle off on ser2net's accepter: `accepter: "
                     "telnet(rfc2217),tcp(nodelay),2001` in its YAML"));
    // across a LAN: several echoes a read
    f.lanRttMs = 20;
    f.echoes.reads = 341;
    f.roundTrip.p50Ms = 40.2;
    held = verdicts(budgeted(f, 26))[0];
    QVERIFY2(held.text.find("100.0% of the echoes came one LAN round trip (20 ms) after a later "
                            "send, where chance would put 0.0%") != std::string::npos &&
                 held.text.find("2.9 replies a read") != std::string::npos,
             held.text.c_str());

    // chance: as many echoes to each part of the period as came later after a later send
    f = heldBehindNagle();
    f.echoes.released = 199;   // below a fifth
    QCOMPARE(codes(f), QStringList{"late"});
    f.lanRttMs = 50;           // at any LAN's round trip, as the relay sees it
    f.roundTrip.p50Ms = 100;
    f.echoes.released = 230;
    f.echoes.afterALaterSend = 770;   // 4.5% by chance: 18.5% beyond it
    QCOMPARE(codes(budgeted(f, 56)), QStringList{"late"});
    f.echoes.released = 300;
    f.echoes.afterALaterSend = 700;
    QCOMPARE(codes(budgeted(f, 56)), (QStringList{"held-echoes", "late"}));
    // paired: changed echoes count as well as echoes, whatever share of the replies changed
    f.echoes.echoed = 500;
    f.echoes.changed = 500;
    QVERIFY(codes(budgeted(f, 56)).contains("held-echoes"));
    f.echoes.echoed = 1000;
    f.echoes.changed = 0;
    // behind a loss, a retransmission lets echoes go with a later send's segment: among the
    // echoes clear of it (a slow lossy LAN with Nagle off), no more than chance
    f.echoes.behindLoss = 560;
    f.echoes.releasedBehindLoss = 250;
    f.echoes.afterBehindLoss = 310;
    QCOMPARE(codes(budgeted(f, 56)), QStringList{"late"});
    // behind Nagle, those clear of it are held all the same
    f.echoes.releasedBehindLoss = 50;
    f.echoes.afterBehindLoss = 510;
    QVERIFY(codes(budgeted(f, 56)).contains("held-echoes"));
    f.echoes.behindLoss = f.echoes.releasedBehindLoss = f.echoes.afterBehindLoss = 0;
    f.periodMs = 1;   // a window as long as the period: chance alone fills it
    QCOMPARE(codes(budgeted(f, 56)), QStringList{"late"});
    f.periodMs = 10;
    // a far device that answers after the next send, which lets the echo go no later than it
    // would have gone: released, but holding adds nothing to the median
    QCOMPARE(codes(budgeted(f, 100)), QStringList{"late"});
    f.lanRttMs = std::nullopt;   // a serial device: no device server to hold anything
    QVERIFY(!codes(budgeted(f, 3)).contains("held-echoes"));
}

void VerdictsTest::retransmitsAreNamedAndExplainATail()
{
    SpanFigures f = cleanRun();
    f.lanRttMs = 20;
    f.tcp = TcpCounts{0, 0, 1000, 1000};
    f.roundTrip.p50Ms = 25.8;
    f.roundTrip.p99Ms = 85.9;
    QCOMPARE(codes(f), QStringList{"clean"});   // nothing lost on the LAN
    f.tcp->outOfOrder = 89;
    f.echoes.behindLoss = 300;
    f.split = splitRoundTrip(25.8, 20, f.wireMs, {22.7, std::nullopt});
    Verdict v = find(verdicts(f), "retransmits");
    QCOMPARE(QString::fromStdString(v.text),
             QString("retransmits: 89 segments received out of order, as after a loss on the "
                     "way; 29.8% of the echoes waited behind them, adding 3.1 ms to the median; "
                     "they make the tail: p99 86 ms against a 26 ms median"));
    QCOMPARE(figure(v, "out_of_order"), 89.0);
    f.tcp->retransmitted = 1;
    f.roundTrip.p99Ms = 30;   // no tail to explain
    f.split = splitRoundTrip(25.8, 20, f.wireMs);
    v = find(verdicts(f), "retransmits");
    QCOMPARE(QString::fromStdString(v.text),
             QString("retransmits: 1 segment sent again, 89 segments received out of order, as "
                     "after a loss on the way; 29.8% of the echoes waited behind them"));
    QVERIFY(v.step.find("ping -c 1000") != std::string::npos);
    QVERIFY(v.step.find("Nagle") == std::string::npos);
    // a segment sent again now and then, as a busy machine's timer does on loopback: next to
    // nothing waited behind it, and nothing was lost
    f.tcp = TcpCounts{1, 0, 1000, 1000};
    f.echoes.behindLoss = 2;
    QVERIFY(!codes(f).contains("retransmits"));
    // nor when a slow far device leaves many echoes behind such a stray one, or a few of them
    for (long long strays : {1, 3}) {
        f.tcp = TcpCounts{strays, 0, 1000, 1000};
        f.echoes.behindLoss = 14 * strays;
        QVERIFY2(!codes(f).contains("retransmits"), qPrintable(QString::number(strays)));
    }
    // behind a device server that holds echoes, each loss waits for a time-out: Nagle first
    SpanFigures held = heldBehindNagle();
    held.tcp = TcpCounts{0, 10, 4000, 1000};
    held.echoes.behindLoss = 100;
    QVERIFY(find(verdicts(held), "retransmits").step.find("turn Nagle off first") !=
            std::string::npos);
}

void VerdictsTest::aMedianShorterThanTheLineIsAnsweredBeforeIt()
{
    SpanFigures f = cleanRun();
    f.roundTrip.p50Ms = 0.112;
    f.lanRttMs = 0.004;
    f.line = kTesterLine;
    f.split = splitRoundTrip(f.roundTrip.p50Ms, f.lanRttMs, f.wireMs);
    QCOMPARE(codes(f), QStringList{"early"});
    QCOMPARE(QString::fromStdString(verdicts(f)[0].text),
             QString("early: the median round trip (0.1 ms) is shorter than the LAN's 0.004 ms "
                     "and 2.1 ms of wire for a byte out and back at 9600 8N1: something answers "
                     "before the serial line, as a device server's local echo or a loopback "
                     "does"));
    f.roundTrip.p50Ms = 2.0;   // within a tenth of the wire: the estimate's slack, not a fault
    f.split = splitRoundTrip(f.roundTrip.p50Ms, f.lanRttMs, f.wireMs);
    QCOMPARE(codes(f), QStringList{"clean"});
}

void VerdictsTest::theLateVerdictNamesItsCause()
{
    SpanFigures f = cleanRun();
    f.echoes.late = f.echoes.echoed;
    f.roundTrip.p50Ms = 25.9;
    f.roundTrip.p99Ms = 60;
    f.lanRttMs = 20.6;
    f.periodMs = 10;
    Verdict v = verdicts(budgeted(f))[0];
    QCOMPARE(QString::fromStdString(v.cause), QString("lan"));
    QVERIFY2(v.text.find("of the 26 ms median, the LAN's round trip 21 ms and the device server "
                         "and the far device 3.2 ms, each alone enough to miss it; the read can "
                         "never be met over this LAN, whatever") != std::string::npos,
             v.text.c_str());
    // how many ticks late the tester reads them, from the median's echo to the p99's
    QVERIFY2(v.step.find("or expect the echoes 3 to 6 ticks late") != std::string::npos,
             v.step.c_str());
    f.lanRttMs = 4.0;   // over the read beside the wire, though less than it
    f.roundTrip.p50Ms = 6.5;
    QCOMPARE(QString::fromStdString(verdicts(budgeted(f))[0].cause), QString("lan"));
    f.lanRttMs = 0.03;
    f.roundTrip.p50Ms = 5.9;   // two characters' wait and a little: the device server's own
    f.server = "ser2net";
    v = verdicts(budgeted(f))[0];
    QCOMPARE(QString::fromStdString(v.cause), QString("behind"));
    QVERIFY2(v.step.find("ser2net waits two characters' time") != std::string::npos &&
                 v.step.find("`chardelay: false`") != std::string::npos,
             v.step.c_str());
    QVERIFY(v.text.find("can never be met") == std::string::npos);
    // held echoes and the rest both past the read: the larger first, the steps in that order
    v = find(verdicts(heldBehindNagle()), "late");
    QCOMPARE(QString::fromStdString(v.cause), QString("packing"));
    QVERIFY2(v.text.find("of the 10 ms median, echoes held for a later send 6.9 ms, alone enough "
                         "to miss it") != std::string::npos,
             v.text.c_str());
    // a LAN over the read and echoes held for later sends: each named, the LAN first
    f = heldBehindNagle();
    f.lanRttMs = 20.1;
    f.roundTrip.p50Ms = 40.7;
    f.server = "ser2net";
    v = find(verdicts(budgeted(f, 26)), "late");
    QVERIFY2(v.text.find("the LAN's round trip 20 ms, echoes held for a later send 15 ms and the "
                         "device server and the far device 3.8 ms, each alone enough to miss "
                         "it") != std::string::npos,
             v.text.c_str());
    QVERIFY2(v.step.find("first put the tester on a LAN") == 0 &&
                 v.step.find("; then turn Nagle off on ser2net's accepter") != std::string::npos,
             v.step.c_str());
    // as measured there, with a far device that answers at once and with one 15 ms slow: the
    // rest of an echo no later send let go may hold up to a round trip's wait for an
    // acknowledgement, so only a rest beyond that is the far device's, which no setting mends
    const std::tuple<double, double, const char *> rows[] = {
        {40.7, 30.2, "never be met over this LAN, whatever"},
        {60.6, 51.8, "never be met with this far device or over this LAN, whatever"}};
    for (const auto &[median, unheld, never] : rows) {
        f.roundTrip.p50Ms = median;
        v = find(verdicts(budgeted(f, unheld)), "late");
        QVERIFY2(v.text.find(never) != std::string::npos, v.text.c_str());
    }
    // a median that meets the read: the late ones are its tail
    f = cleanRun();
    f.echoes.late = 100;
    f.roundTrip.p50Ms = 2.9;
    f.roundTrip.p99Ms = 8;
    f.lanRttMs = 0.02;
    v = verdicts(budgeted(f))[0];
    QVERIFY2(v.text.find("the 2.9 ms median meets it: the late ones are its tail (p99 8 ms); the "
                         "median's largest part beside the wire: the device server and the far "
                         "device 0.8 ms") != std::string::npos,
             v.text.c_str());
    QCOMPARE(QString::fromStdString(v.cause), QString("behind"));
}

void VerdictsTest::everyVerdictHasAStep()
{
    SpanFigures f = cleanRun();
    f.echoes.lost = 5;
    f.echoes.changed = 5;
    f.echoes.extra = 5;
    f.echoes.late = 500;
    f.lineErrors = {1, 1, 1, 1, 1, {}, {}};
    f.modemChanges = 1;
    f.lanRttMs = 0.1;
    f.tcp = TcpCounts{10, 10, 1, 1};
    f.echoes.behindLoss = 100;
    auto all = verdicts(budgeted(f));
    QCOMPARE(all.size(), std::size_t(10));
    all.push_back(verdicts(heldBehindNagle())[0]);
    SpanFigures none = cleanRun();
    none.echoes.sends = 0;
    all.push_back(verdicts(none)[0]);
    none = cleanRun();
    none.echoes.echoed = 0;
    none.echoes.lost = 1008;
    all.push_back(verdicts(none)[0]);
    all.push_back(verdicts(cleanRun())[0]);
    for (const Verdict &v : all)
        QVERIFY2(!v.step.empty(), v.code.c_str());
}

QTEST_GUILESS_MAIN(VerdictsTest)
#include "test_verdicts.moc"
