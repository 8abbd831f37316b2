// The RFC 2217 client: what it asks a device server, what it makes of the answers and
// notifications (standard, quirky, unparsable), and the bounds that hold whatever the server
// does. First as byte streams in and bytes out, then against a scripted server over loopback.
#include "farend/rfc2217/rfc2217.h"
#include "tests/support/rfc2217session.h"

#include <QtTest>

namespace {
using R = Rfc2217Client;

std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

// IAC SB COM-PORT-OPTION command value IAC SE, the value as given (already escaped)
std::string sub(int command, const std::string &value = {})
{
    return bytes({255, 250, 44, command}) + value + bytes({255, 240});
}

// A client that has offered COM Port Control and had it accepted.
struct Accepted {
    R c;
    std::string data, reply;
    Accepted()
    {
        c.greeting();
        feed(bytes({255, 253, 44}));
        reply.clear();
    }
    void feed(const std::string &in, bool oneByteAtATime = false)
    {
        if (oneByteAtATime)
            for (char ch : in)
                c.decode(&ch, 1, data, reply);
        else
            c.decode(in.data(), in.size(), data, reply);
    }
};

const QString kScript = QStringLiteral(RFC2217_SERVER_SCRIPT);
} // namespace

class Rfc2217Test : public QObject {
    Q_OBJECT
private slots:
    // at protocol level
    void asksForTheSignatureAndTheLineAndModemReports();
    void countsEachKindOfLineErrorWhateverTheMask();
    void countsModemLineChangesFromDeltasAndStates();
    void purgeIsAnsweredOrNot();
    void eachRequestIsSameOtherOrWaiting();
    void knownServerQuirksAreTakenWithTheirNames();
    void aReplyThatCannotBeParsedIsCountedAndNamedNeverALineError();
    void anIacSplitAnywhereReadsTheSame();
    void aNegotiationStormIsAnsweredAtMostOnceAChange();
    void theOfferRefusedAndDataEscapedUntilBinaryIsAgreed();
    void answersQueuedTowardAServerThatDoesNotReadAreBounded();
    void aSubnegotiationThatNeverEndsIsDiscardedToItsEndNeverTakenAsData();
    void suspendHoldsTheDataButNotTheAnswersAndCountsTheTime();
    void theServerAskingOurSignatureIsAnsweredOnce();
    void theFactsSayWhatTheServerDidNotReportNeverZeros();

    // against the scripted server
    void aStandardServerAnswersEverythingAndEchoes();
    void serversThatAnswerDifferently_data();
    void serversThatAnswerDifferently();
    void lineErrorsReportedWithoutAMaskAreCounted();
    void sixCtsChangesAreCounted();
    void dataBeforeTheAnswerToTheOfferIsCarriedAndTheAnswerStillCounts();
    void aServerThatTogglesOptionsAndNeverReadsIsDroppedWithAReason();
    void anEndlessSubnegotiationFromTheServerIsBounded();
    void aFloodIsCarriedAsData();
    void suspendAndResumeFromTheServer();
    void everyByteInItsOwnSegment();
};

void Rfc2217Test::asksForTheSignatureAndTheLineAndModemReports()
{
    R c;
    QCOMPARE(c.askWhatTheServerKnows(),
             sub(0) + sub(10, bytes({0x1e})) + sub(11, bytes({0xff, 0xff})));   // 0xFF doubled
    QCOMPARE(int(c.request(R::kSignature).answer), int(R::Answer::Waiting));
    QCOMPARE(int(c.request(R::kPurge).answer), int(R::Answer::NotAsked));
    QCOMPARE(c.notAcknowledged(),
             (std::vector<std::string>{"signature", "line-state mask", "modem-state mask"}));
}

void Rfc2217Test::countsEachKindOfLineErrorWhateverTheMask()
{
    Accepted a;   // no mask set: a server that reports anyway is counted
    a.feed(sub(106, bytes({0x08})) + sub(106, bytes({0x0c})) + sub(106, bytes({0x10})) +
           sub(106, bytes({0x02})) + sub(106, bytes({0x61})));
    const auto &l = a.c.lineErrors();
    QCOMPARE(*l.framing, 2LL);
    QCOMPARE(*l.parity, 1LL);
    QCOMPARE(*l.breaks, 1LL);
    QCOMPARE(*l.overrun, 1LL);
    QCOMPARE(a.c.lineStateNotified().count, 5LL);
    QCOMPARE(a.c.lineStateNotified().unaskedBits, 1LL);   // data ready, THRE, TSRE: not errors
    // all bits at once, 0xFF doubled in the value
    a.feed(sub(106, bytes({0xff, 0xff})));
    QCOMPARE(*l.framing, 3LL);
    QCOMPARE(a.c.lineStateNotified().unaskedBits, 2LL);
    QVERIFY(a.data.empty());
    QVERIFY(a.reply.empty());
}

void Rfc2217Test::countsModemLineChangesFromDeltasAndStates()
{
    Accepted a;
    a.feed(sub(107, bytes({0x30})));   // CTS and DSR up: the first state, no change
    QCOMPARE(a.c.modemLines().changes(), 0LL);
    a.feed(sub(107, bytes({0x21})));   // CTS down, its delta set
    a.feed(sub(107, bytes({0x30})));   // CTS up, no delta: the state says so
    a.feed(sub(107, bytes({0xb8})));   // CD up with its delta
    a.feed(sub(107, bytes({0xf4})));   // RI rose: state and trailing-edge bit, one change each
    const auto &m = a.c.modemLines();
    QCOMPARE(m.cts, 2LL);
    QCOMPARE(m.dsr, 0LL);
    QCOMPARE(m.cd, 1LL);
    QCOMPARE(m.ri, 1LL);
    QCOMPARE(a.c.modemStateNotified().count, 5LL);
    QCOMPARE(int(*m.last), 0xf4);
}

void Rfc2217Test::purgeIsAnsweredOrNot()
{
    Accepted a;
    QCOMPARE(a.c.purge(), sub(12, bytes({3})));
    QCOMPARE(int(a.c.request(R::kPurge).answer), int(R::Answer::Waiting));
    a.feed(sub(112, bytes({3})));
    QCOMPARE(int(a.c.request(R::kPurge).answer), int(R::Answer::Same));
    a.c.purge();   // a new run asks again: the old answer does not count for it
    QCOMPARE(int(a.c.request(R::kPurge).answer), int(R::Answer::Waiting));
    a.feed(sub(112, bytes({1})));
    QCOMPARE(int(a.c.request(R::kPurge).answer), int(R::Answer::Other));
    QCOMPARE(a.c.request(R::kPurge).value, std::string("1"));
}

void Rfc2217Test::eachRequestIsSameOtherOrWaiting()
{
    Accepted a;
    a.c.setSettings({9600, 8, 'N', 1});
    a.c.raiseModemLines();
    a.c.askWhatTheServerKnows();
    a.feed(sub(101, bytes({0, 0, 0x4b, 0})) + sub(102, bytes({8})) + sub(103, bytes({3})) +
           sub(105, bytes({8})) + sub(105, bytes({11})) + sub(100, "ser2net 4.3.11") +
           sub(110, bytes({0x1e})));
    QCOMPARE(int(a.c.request(R::kBaud).answer), int(R::Answer::Other));
    QCOMPARE(a.c.request(R::kBaud).value, std::string("19200"));
    QCOMPARE(int(a.c.request(R::kDataSize).answer), int(R::Answer::Same));
    QCOMPARE(int(a.c.request(R::kParity).answer), int(R::Answer::Other));   // E for N
    QCOMPARE(int(a.c.request(R::kDtr).answer), int(R::Answer::Same));
    QCOMPARE(int(a.c.request(R::kRts).answer), int(R::Answer::Same));
    QCOMPARE(a.c.signature(), std::string("ser2net 4.3.11"));
    QCOMPARE(int(a.c.request(R::kLineStateMask).answer), int(R::Answer::Same));
    QCOMPARE(a.c.notAcknowledged(), (std::vector<std::string>{"stop size", "modem-state mask"}));
    QCOMPARE(a.c.serverSettings().text(), std::string("19200 8E1"));
}

void Rfc2217Test::knownServerQuirksAreTakenWithTheirNames()
{
    Accepted a;
    a.c.setSettings({9600, 8, 'N', 1});
    a.c.raiseModemLines();
    // four trailing NULs after the baud rate, one after the data size; SET-CONTROL always 1
    a.feed(sub(101, bytes({0, 0, 0x25, 0x80, 0, 0, 0, 0})) + sub(102, bytes({8, 0})) +
           sub(105, bytes({1})) + sub(105, bytes({1})));
    QCOMPARE(int(a.c.request(R::kBaud).answer), int(R::Answer::Same));
    QCOMPARE(a.c.request(R::kBaud).quirk, std::string("trailing NULs"));
    QCOMPARE(int(a.c.request(R::kDataSize).answer), int(R::Answer::Same));
    QCOMPARE(a.c.request(R::kDataSize).quirk, std::string("trailing NULs"));
    QCOMPARE(int(a.c.request(R::kDtr).answer), int(R::Answer::Other));
    QCOMPARE(int(a.c.request(R::kRts).answer), int(R::Answer::Other));
    QCOMPARE(a.c.request(R::kRts).quirk, std::string("another value (1)"));
    // a one-byte index in place of the four-byte rate
    a.c.setSettings({9600, 8, 'N', 1});
    a.feed(sub(101, bytes({8})));
    QCOMPARE(int(a.c.request(R::kBaud).answer), int(R::Answer::Same));
    QCOMPARE(a.c.request(R::kBaud).quirk, std::string("a one-byte index (8)"));
    // the masks answered with a notification of the current state, as ser2net does
    a.c.askWhatTheServerKnows();
    a.feed(sub(106, bytes({0})) + sub(107, bytes({0x30})));
    QCOMPARE(int(a.c.request(R::kLineStateMask).answer), int(R::Answer::Same));
    QCOMPARE(a.c.request(R::kLineStateMask).quirk, std::string("a NOTIFY-LINESTATE"));
    QCOMPARE(a.c.request(R::kModemStateMask).quirk, std::string("a NOTIFY-MODEMSTATE"));
    a.feed(sub(106, bytes({8})));   // later notifications are notifications only
    QCOMPARE(a.c.request(R::kLineStateMask).value, std::string("0x00"));
    QCOMPARE(*a.c.lineErrors().framing, 1LL);
    QCOMPARE(a.c.unparsed(), 0LL);
}

void Rfc2217Test::aReplyThatCannotBeParsedIsCountedAndNamedNeverALineError()
{
    Accepted a;
    a.c.setSettings({9600, 8, 'N', 1});
    a.feed(sub(101, bytes({0, 0x25, 0x80})));
    QCOMPARE(a.c.unparsed(), 1LL);
    QCOMPARE(a.c.lastUnparsed(), std::string("SET-BAUDRATE with a value of 3 bytes"));
    QCOMPARE(int(a.c.request(R::kBaud).answer), int(R::Answer::Waiting));
    // ser2net's one-byte answer for a rate that form lacks: never taken as a rate
    a.feed(sub(101, bytes({0})));
    QCOMPARE(a.c.lastUnparsed(),
             std::string("SET-BAUDRATE with the one-byte index 0, which names no rate"));
    QCOMPARE(int(a.c.request(R::kBaud).answer), int(R::Answer::Waiting));
    a.feed(sub(150, bytes({8})));
    QCOMPARE(a.c.lastUnparsed(), std::string("COM-PORT-OPTION command 150 from the server"));
    a.feed(sub(106) + sub(106, bytes({8, 8})) + sub(102, bytes({9})));
    QCOMPARE(a.c.unparsed(), 6LL);
    QCOMPARE(a.c.lastUnparsed(), std::string("SET-DATASIZE 9"));
    QCOMPARE(*a.c.lineErrors().framing, 0LL);
    QCOMPARE(a.c.lineStateNotified().count, 0LL);
    // another option's subnegotiation is none of ours: not counted
    a.feed(bytes({255, 250, 24, 1, 255, 240}));
    QCOMPARE(a.c.unparsed(), 6LL);
}

void Rfc2217Test::anIacSplitAnywhereReadsTheSame()
{
    const std::string stream = "a" + bytes({255, 255}) + "b" + sub(101, bytes({0, 0, 0xff, 0xff, 0})) +
                               sub(106, bytes({8})) + bytes({255, 255, 255, 255});
    Accepted whole, split;
    whole.c.setSettings({65280, 8, 'N', 1});
    split.c.setSettings({65280, 8, 'N', 1});
    whole.feed(stream);
    split.feed(stream, true);
    QCOMPARE(whole.data, "a" + bytes({255}) + "b" + bytes({255, 255}));
    QCOMPARE(split.data, whole.data);
    QCOMPARE(split.c.serverSettings().baud, 65280u);
    QCOMPARE(int(split.c.request(R::kBaud).answer), int(R::Answer::Same));
    QCOMPARE(*split.c.lineErrors().framing, 1LL);
}

void Rfc2217Test::aNegotiationStormIsAnsweredAtMostOnceAChange()
{
    Accepted a;
    // the same offer again and again changes nothing: no answer
    for (int i = 0; i < 1000; ++i)
        a.feed(bytes({255, 251, 0}) + bytes({255, 253, 44}) + bytes({255, 253, 3}));
    QCOMPARE(a.reply, bytes({255, 251, 3}));   // WILL SGA, once
    a.reply.clear();
    // each real change is answered once: never more answers than commands
    std::string toggles;
    for (int i = 0; i < 1000; ++i)
        toggles += bytes({255, 252, 0, 255, 251, 0});
    a.feed(toggles);
    QCOMPARE(a.reply.size(), toggles.size());
    // answers to the server's answers would loop: a DONT after our WONT is not answered
    a.reply.clear();
    a.feed(bytes({255, 253, 99}));   // DO an option we do not do: WONT
    a.feed(bytes({255, 254, 99}));   // its DONT confirms: nothing more
    QCOMPARE(a.reply, bytes({255, 252, 99}));
}

void Rfc2217Test::theOfferRefusedAndDataEscapedUntilBinaryIsAgreed()
{
    R refused;
    refused.greeting();
    std::string data, reply;
    refused.decode("\xff\xfe\x2c", 3, data, reply);   // DONT COM-PORT-OPTION
    QCOMPARE(int(refused.comPort()), int(R::ComPort::Refused));

    R c;
    c.greeting();
    // 0xFF doubled always; a bare CR as CR NUL only until the server agrees to our binary
    QCOMPARE(c.encode(std::string("a\xff\r", 3)), std::string("a\xff\xff\r\0", 5));
    c.decode("\xff\xfd\x00", 3, data, reply);   // DO BINARY
    QCOMPARE(c.encode(std::string("a\xff\r", 3)), std::string("a\xff\xff\r", 4));
}

void Rfc2217Test::answersQueuedTowardAServerThatDoesNotReadAreBounded()
{
    R c;
    c.queueControl(c.greeting());
    std::string data;
    std::string toggles;
    for (int i = 0; i < 10000; ++i)
        toggles += bytes({255, 252, 0, 255, 251, 0});
    for (int i = 0; i < 100 && !c.failed(); ++i)
        c.take(toggles.data(), toggles.size(), i, data);   // nothing is ever written
    QCOMPARE(c.error().code, Errc::Stalled);
    QVERIFY(c.queued() <= R::kControlLimit + R::kDataLimit);

    R d;
    d.queueData(std::string(R::kDataLimit, 'x'));
    QVERIFY(!d.failed());
    d.queueData("y");
    QCOMPARE(d.error().code, Errc::Stalled);
    QVERIFY(d.queued() <= R::kDataLimit);
}

void Rfc2217Test::aSubnegotiationThatNeverEndsIsDiscardedToItsEndNeverTakenAsData()
{
    Accepted a;
    a.feed(bytes({255, 250, 44, 106}) + std::string(R::kSubnegotiationLimit + 100, '\x08') +
           bytes({255, 255, 255, 240}));
    QCOMPARE(a.c.unparsed(), 1LL);
    QCOMPARE(a.c.lastUnparsed(), std::string("a subnegotiation longer than 512 bytes"));
    QCOMPARE(a.c.lineStateNotified().count, 0LL);
    QVERIFY(a.data.empty());
    // the whole value counted, IAC IAC as the one 0xFF it stands for
    QCOMPARE(a.c.facts(0).abandoned, 1LL);
    QCOMPARE(a.c.facts(0).discarded, qint64(2 + R::kSubnegotiationLimit + 100 + 1));
    a.feed("ok" + sub(106, bytes({8})));
    QCOMPARE(a.data, std::string("ok"));
    QCOMPARE(*a.c.lineErrors().framing, 1LL);

    // a command inside a subnegotiation breaks it off and is read as a command, as BSD telnet
    // reads it, whether the subnegotiation was abandoned or not
    for (std::size_t length : {std::size_t(3), R::kSubnegotiationLimit + 10}) {
        Accepted b;
        b.feed(bytes({255, 250, 44, 106}) + std::string(length, '\x08') + bytes({255, 251, 1}) +
               "x");
        QCOMPARE(b.reply, bytes({255, 253, 1}));   // WILL ECHO answered
        QCOMPARE(b.data, std::string("x"));
        QCOMPARE(b.c.unparsed(), 1LL);
        QCOMPARE(b.c.lineStateNotified().count, 0LL);
    }
}

void Rfc2217Test::suspendHoldsTheDataButNotTheAnswersAndCountsTheTime()
{
    R c;
    std::string data;
    const std::string suspend = sub(108), resume = sub(109);
    c.take(suspend.data(), suspend.size(), 100, data);
    QVERIFY(c.suspended());
    c.queueData("abc");
    QVERIFY(c.outgoing().empty());
    c.queueControl(c.purge());   // requests still go
    QCOMPARE(std::string(c.outgoing()), sub(12, bytes({3})));
    c.wrote(c.outgoing().size());
    QVERIFY(c.outgoing().empty());
    c.take(suspend.data(), suspend.size(), 200, data);   // again: still the first suspension
    QCOMPARE(c.suspendedMs(300), 200.0);
    c.take(resume.data(), resume.size(), 350, data);
    QVERIFY(!c.suspended());
    QCOMPARE(c.suspendedMs(1000), 250.0);
    QCOMPARE(std::string(c.outgoing()), std::string("abc"));
    c.wrote(1);
    QCOMPARE(std::string(c.outgoing()), std::string("bc"));
    c.take(suspend.data(), suspend.size(), 400, data);
    QCOMPARE(c.suspendedMs(450), 300.0);
    QCOMPARE(c.suspensions(), 2LL);
    c.take(resume.data(), resume.size(), 500, data);
    c.take(resume.data(), resume.size(), 900, data);   // a resume without a suspend: nothing
    QCOMPARE(c.suspendedMs(1000), 350.0);
}

void Rfc2217Test::theServerAskingOurSignatureIsAnsweredOnce()
{
    Accepted a;
    for (int i = 0; i < 5; ++i)
        a.feed(sub(100));
    QCOMPARE(a.reply, sub(0, "farend"));
    QCOMPARE(int(a.c.request(R::kSignature).answer), int(R::Answer::NotAsked));
}

void Rfc2217Test::theFactsSayWhatTheServerDidNotReportNeverZeros()
{
    Accepted a;
    a.c.setSettings({9600, 8, 'N', 1});
    a.c.raiseModemLines();
    a.c.askWhatTheServerKnows();
    QVERIFY(!a.c.reportedLineErrors().reported());
    QVERIFY(!a.c.reportedModemLines());
    ServerFacts f = a.c.facts(0);
    QVERIFY(f.port.baud == 0 && f.signature.empty());
    QCOMPARE(f.notAcknowledged,
             (std::vector<std::string>{"baud rate", "data size", "parity", "stop size", "DTR",
                                       "RTS", "signature", "line-state mask",
                                       "modem-state mask"}));
    // the mask taken and nothing wrong: zeros, now reported
    a.feed(sub(100, "ser2net") + sub(101, bytes({0, 0, 0x4b, 0, 0, 0, 0, 0})) +
           sub(102, bytes({8})) + sub(103, bytes({1})) + sub(104, bytes({1})) +
           sub(110, bytes({0x1e})) + sub(107, bytes({0x31})) + sub(108) + sub(109) +
           sub(101, bytes({1, 2, 3})));
    QVERIFY(a.c.reportedLineErrors().reported());
    QVERIFY(!a.c.reportedLineErrors().anyError());
    QCOMPARE(a.c.reportedModemLines()->changes(), 1LL);
    f = a.c.facts(0);
    QCOMPARE(f.signature, std::string("ser2net"));
    QCOMPARE(f.port.text(), std::string("19200 8N1"));
    QCOMPARE(f.answeredOtherwise, std::vector<std::string>{"baud rate 19200"});
    QCOMPARE(f.nonStandard,
             (std::vector<std::string>{"baud rate as trailing NULs",
                                       "modem-state mask as a NOTIFY-MODEMSTATE"}));
    QCOMPARE(f.notAcknowledged, (std::vector<std::string>{"DTR", "RTS"}));
    QCOMPARE(f.suspensions, 1LL);
    QCOMPARE(f.unparsed, 1LL);
    QCOMPARE(f.lastUnparsed, std::string("SET-BAUDRATE with a value of 3 bytes"));
    // a server that sends notifications without taking the mask still reports
    Accepted b;
    b.feed(sub(106, bytes({8})));
    QCOMPARE(*b.c.reportedLineErrors().framing, 1LL);
}

// --- against the scripted server --------------------------------------------------------------

namespace {
// Starts `scenario`, waits for COM Port Control, sends the port's settings and every other
// request, then `data`, and carries bytes until `data` came back.
bool openSession(Rfc2217Session &s, const QString &scenario, const std::string &data = "0123")
{
    if (!s.startScripted(kScript, scenario))
        return false;
    if (!s.runUntil([&] { return s.client.comPort() != R::ComPort::Asked; }))
        return false;
    auto &c = s.client;
    c.queueControl(c.setSettings({9600, 8, 'N', 1}) + c.raiseModemLines() +
                   c.askWhatTheServerKnows() + c.purge());
    c.queueData(data);
    return s.runUntil([&] { return s.data.find(data) != std::string::npos; });
}
} // namespace

void Rfc2217Test::aStandardServerAnswersEverythingAndEchoes()
{
    Rfc2217Session s;
    QVERIFY(openSession(s, "standard"));
    const auto &c = s.client;
    QCOMPARE(int(c.comPort()), int(R::ComPort::Accepted));
    QCOMPARE(c.signature(), std::string("scripted 1.0"));
    for (int r = 0; r < R::kRequests; ++r) {
        QVERIFY2(c.request(R::Request(r)).answer == R::Answer::Same, R::requestCommand(R::Request(r)));
        QVERIFY2(c.request(R::Request(r)).quirk.empty(), R::requestCommand(R::Request(r)));
    }
    QCOMPARE(s.data, std::string("0123"));
    QVERIFY(s.serverLog().contains("request PURGE-DATA 03"));
    QVERIFY(s.serverLog().contains("request SET-LINESTATE-MASK 1e"));
    QCOMPARE(c.unparsed(), 0LL);
}

void Rfc2217Test::serversThatAnswerDifferently_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("answers");   // per request: S same, O other, W waiting
    QTest::addColumn<QString>("baudQuirk");
    QTest::addColumn<int>("unparsed");
    QTest::addColumn<int>("unasked");
    //                                                BDPSdrgLMP
    QTest::newRow("quirks") << "quirks" << "SSSSOOSSSS" << "trailing NULs" << 0 << 0;
    QTest::newRow("index") << "index" << "SSSSSSSSSS" << "a one-byte index (8)" << 0 << 0;
    QTest::newRow("other") << "other" << "OOOOOOSOOO" << "" << 0 << 0;
    QTest::newRow("silent") << "silent" << "WWWWWWWWWW" << "" << 0 << 0;
    QTest::newRow("unparsable") << "unparsable" << "WSSSSSSSSS" << "" << 2 << 0;
    QTest::newRow("unknown bits") << "unknownbits" << "SSSSSSSSSS" << "" << 0 << 1;
}

void Rfc2217Test::serversThatAnswerDifferently()
{
    QFETCH(QString, scenario);
    QFETCH(QString, answers);
    QFETCH(QString, baudQuirk);
    QFETCH(int, unparsed);
    QFETCH(int, unasked);
    Rfc2217Session s;
    QVERIFY(openSession(s, scenario));   // the data is carried whatever the answers
    const auto &c = s.client;
    QString got;
    for (int r = 0; r < R::kRequests; ++r)
        got += "?WSO"[int(c.request(R::Request(r)).answer)];
    QCOMPARE(got, answers);
    QCOMPARE(QString::fromStdString(c.request(R::kBaud).quirk), baudQuirk);
    QCOMPARE(c.unparsed(), qint64(unparsed));
    QCOMPARE(c.lineStateNotified().unaskedBits, qint64(unasked));
    QCOMPARE(*c.lineErrors().framing, qint64(unasked));   // the one framing error beside them
    if (scenario == "silent")
        QCOMPARE(c.notAcknowledged().size(), std::size_t(R::kRequests));
}

void Rfc2217Test::lineErrorsReportedWithoutAMaskAreCounted()
{
    Rfc2217Session s;
    QVERIFY(s.startScripted(kScript, "linestate"));
    QVERIFY(s.runUntil([&] { return *s.client.lineErrors().framing >= 3; }));
    QVERIFY(*s.client.lineErrors().parity >= 2);
    QCOMPARE(*s.client.lineErrors().overrun, 0LL);
    QCOMPARE(s.client.unparsed(), 0LL);
}

void Rfc2217Test::sixCtsChangesAreCounted()
{
    Rfc2217Session s;
    QVERIFY(openSession(s, "modem"));
    QCOMPARE(s.client.modemLines().cts, 6LL);
    QCOMPARE(s.client.modemLines().dsr, 0LL);
    QCOMPARE(int(*s.client.modemLines().last) & 0xf0, 0x30);
}

void Rfc2217Test::dataBeforeTheAnswerToTheOfferIsCarriedAndTheAnswerStillCounts()
{
    Rfc2217Session s;
    QVERIFY(s.startScripted(kScript, "late"));
    std::size_t most = 0;
    QVERIFY(s.runUntil([&] {
        most = std::max(most, s.client.queued());
        return s.client.comPort() != R::ComPort::Asked;
    }));
    QCOMPARE(int(s.client.comPort()), int(R::ComPort::Accepted));
    QVERIFY(s.data.size() > 1000);
    QCOMPARE(s.data.substr(0, 11), std::string("early data "));
    QVERIFY(most <= 64);   // only the greeting ever waited to go
    s.client.queueData("after");
    QVERIFY(s.runUntil([&] { return s.data.find("after") != std::string::npos; }));
}

void Rfc2217Test::aServerThatTogglesOptionsAndNeverReadsIsDroppedWithAReason()
{
    Rfc2217Session s;
    QVERIFY(s.startScripted(kScript, "storm"));
    int sndbuf = 4096;
    setsockopt(s.sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    std::size_t most = 0;
    QVERIFY(!s.runUntil([&] {
        most = std::max(most, s.client.queued());
        return false;
    }, 60000));
    QCOMPARE(s.client.error().code, Errc::Stalled);
    QVERIFY(most <= R::kControlLimit);
}

void Rfc2217Test::anEndlessSubnegotiationFromTheServerIsBounded()
{
    Rfc2217Session s;
    QVERIFY(s.startScripted(kScript, "endless"));
    QVERIFY(s.runUntil([&] { return s.client.unparsed() > 0; }));
    QCOMPARE(s.client.lastUnparsed(), std::string("a subnegotiation longer than 512 bytes"));
    // none of it is data; the server's answer to the offer ends it, and the session goes on
    s.client.queueData("end");
    QVERIFY(s.runUntil([&] { return s.data == "end"; }));
    QCOMPARE(int(s.client.comPort()), int(R::ComPort::Accepted));
    QCOMPARE(s.client.facts(0).discarded, 2LL + 1024 * 1024);
    QCOMPARE(s.client.unparsed(), 1LL);
}

void Rfc2217Test::aFloodIsCarriedAsData()
{
    Rfc2217Session s;
    QVERIFY(openSession(s, "flood", "go"));
    QCOMPARE(s.data.size(), std::size_t(8 * 1024 * 1024 + 2));
    QCOMPARE(s.client.unparsed(), 0LL);
    QCOMPARE(s.client.lineStateNotified().count, 0LL);
    QVERIFY(s.client.queued() == 0);
}

void Rfc2217Test::suspendAndResumeFromTheServer()
{
    Rfc2217Session s;
    QVERIFY(openSession(s, "suspend", "a"));
    QVERIFY(s.runUntil([&] { return s.client.suspended(); }));
    s.client.queueData("b");
    QVERIFY(s.runUntil([&] { return !s.client.suspended(); }));
    QVERIFY(s.client.suspendedMs(Rfc2217Session::nowMs()) > 0);
    QCOMPARE(s.client.suspensions(), 1LL);
    QVERIFY(s.runUntil([&] { return s.data == "ab"; }));
}

void Rfc2217Test::everyByteInItsOwnSegment()
{
    Rfc2217Session s;
    QVERIFY(openSession(s, "split", "a\xff" "b"));
    QCOMPARE(s.data, std::string("a\xff" "b"));
    QCOMPARE(s.client.signature(), std::string("scripted 1.0"));
    QCOMPARE(int(s.client.request(R::kPurge).answer), int(R::Answer::Same));
}

QTEST_GUILESS_MAIN(Rfc2217Test)
#include "test_rfc2217.moc"
