// The UART model in both directions and in the common frame formats: worked-out waveforms.
#include "farend/line/uart.h"

#include <QtTest>

namespace {
constexpr double kBitMs = 1000.0 / 9600.0;

LineSettings line(std::uint32_t baud, const char *format)
{
    return {baud, format[0] - '0', format[1], format[2] - '0'};
}

struct Got {
    QByteArray bytes;
    QByteArray flags;   // per byte: '.' clean, 'F' framing error, 'P' parity error, 'B' both
    std::vector<double> atMs;
};

// What `receiver` takes in from `sent` sent back to back at time 0 by `sender`.
Got receive(const LineSettings &sender, const LineSettings &receiver, const QByteArray &sent)
{
    UartLine uart(sender, receiver);
    for (char c : sent)
        uart.send(static_cast<unsigned char>(c), 0);
    std::vector<UartLine::Received> out;
    uart.receiveAll(out);
    Got g;
    for (const auto &r : out) {
        g.bytes.append(static_cast<char>(r.byte));
        g.flags.append(r.framingError ? (r.parityError ? 'B' : 'F') : (r.parityError ? 'P' : '.'));
        g.atMs.push_back(r.atMs);
    }
    return g;
}
} // namespace

class UartFormatsTest : public QObject {
    Q_OBJECT
private slots:
    void aReceiverAtTheSendersSettingsTakesEveryByte_data();
    void aReceiverAtTheSendersSettingsTakesEveryByte();
    void disagreeingEndsGiveTheWorkedOutBytes_data();
    void disagreeingEndsGiveTheWorkedOutBytes();
    void twoStopBitsSpaceTheFramesAndTheReceiverChecksOnlyTheFirst();
    void anEchoChainConvertsBothWaysAndCountsWhatAStopBitWouldMove();
};

void UartFormatsTest::aReceiverAtTheSendersSettingsTakesEveryByte_data()
{
    QTest::addColumn<QString>("format");
    for (const char *f : {"8N1", "8E1", "8O1", "8N2", "7N1", "7E1", "7O2", "8M1", "8S1"})
        QTest::newRow(f) << QString(f);
}

void UartFormatsTest::aReceiverAtTheSendersSettingsTakesEveryByte()
{
    QFETCH(QString, format);
    const QByteArray f = format.toLatin1();
    for (std::uint32_t baud : {1200u, 9600u, 115200u}) {
        const LineSettings s = line(baud, f.constData());
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(static_cast<char>(b));
        const Got g = receive(s, s, all);
        QByteArray expected = all;
        if (s.dataBits == 7)
            for (char &c : expected)
                c = static_cast<char>(c & 0x7F);   // the eighth bit is never sent
        QCOMPARE(g.bytes, expected);
        QCOMPARE(g.flags, QByteArray(256, '.'));
        // each frame is 1 + data + parity + stop bits long, the next right behind
        const int frame = 1 + s.dataBits + (s.parity != 'N') + s.stopBits;
        const double bitMs = 1000.0 / baud;
        QVERIFY(qFuzzyCompare(g.atMs[255], (255 * frame + frame - s.stopBits + 0.5) * bitMs));
    }
}

void UartFormatsTest::disagreeingEndsGiveTheWorkedOutBytes_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("receiver");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("got");
    QTest::addColumn<QByteArray>("flags");
    // "0" (0x30) from a far device at 19200 8N1, read at 9600: each receiver sample falls on
    // every other sender bit, 1 3 5 7 9 then idle: 0xFA, as the tester reads a fast far end.
    QTest::newRow("19200 read at 9600") << "19200 8N1" << "9600 8N1" << QByteArray("0")
                                        << QByteArray::fromHex("fa") << QByteArray(".");
    // 7E1 "A" (two ones, parity 0) then "C" (three ones, parity 1): an 8N1 receiver takes the
    // parity bit as d7.
    QTest::newRow("7E1 read as 8N1") << "9600 7E1" << "9600 8N1" << QByteArray("AC")
                                     << QByteArray::fromHex("41c3") << QByteArray("..");
    // 8N1 read as 7E1: d7 (0) is taken as parity; "C" needed a 1.
    QTest::newRow("8N1 read as 7E1") << "9600 8N1" << "9600 7E1" << QByteArray("AC")
                                     << QByteArray::fromHex("4143") << QByteArray(".P");
    QTest::newRow("8N1 read as 7O1") << "9600 8N1" << "9600 7O1" << QByteArray("AC")
                                     << QByteArray::fromHex("4143") << QByteArray("P.");
    // 8E1 read as 8N1: the stop sample lands on the parity bit, 0 for "0", 1 for "1"; the next
    // frame starts after parity and stop, on its own edge.
    QTest::newRow("8E1 read as 8N1") << "9600 8E1" << "9600 8N1" << QByteArray("01")
                                     << QByteArray("01") << QByteArray("F.");
    // read with parity checked: 8N1's stop bit (1) is taken as the parity bit, right for "1"
    // (three ones) and wrong for "0"; the stop sample falls on the idle line after it.
    QTest::newRow("8N1 \"0\" read as 8E1") << "9600 8N1" << "9600 8E1" << QByteArray("0")
                                         << QByteArray("0") << QByteArray("P");
    QTest::newRow("8N1 \"1\" read as 8E1") << "9600 8N1" << "9600 8E1" << QByteArray("1")
                                         << QByteArray("1") << QByteArray(".");
    // back to back, the stop sample falls on the next frame's start bit
    QTest::newRow("8N1 \"0\" then 0xff read as 8E1") << "9600 8N1" << "9600 8E1" << QByteArray("0")
                                          + QByteArray(1, '\xff') << QByteArray("0")
                                          << QByteArray("B");
    // a 7-bit sender does not send the eighth bit
    QTest::newRow("7N1 drops bit 7") << "9600 7N1" << "9600 7N1" << QByteArray::fromHex("c1")
                                     << QByteArray("A") << QByteArray(".");
}

void UartFormatsTest::disagreeingEndsGiveTheWorkedOutBytes()
{
    QFETCH(QString, sender);
    QFETCH(QString, receiver);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, got);
    QFETCH(QByteArray, flags);
    auto parse = [](const QString &s) {
        const QStringList p = s.split(' ');
        return line(p[0].toUInt(), p[1].toLatin1().constData());
    };
    const Got g = receive(parse(sender), parse(receiver), sent);
    QCOMPARE(g.bytes.toHex(), got.toHex());
    QCOMPARE(g.flags, flags);
}

void UartFormatsTest::twoStopBitsSpaceTheFramesAndTheReceiverChecksOnlyTheFirst()
{
    // eleven bits a frame from an 8N2 sender: the second byte is taken in 11 bits after the first
    const Got twoStop = receive(line(9600, "8N2"), line(9600, "8N1"), "01");
    QCOMPARE(twoStop.bytes, QByteArray("01"));
    QVERIFY(qFuzzyCompare(twoStop.atMs[0], 9.5 * kBitMs));
    QVERIFY(qFuzzyCompare(twoStop.atMs[1], 20.5 * kBitMs));
    // an 8N2 receiver takes 8N1 frames back to back, as a 16550 checks only the first stop bit
    const Got oneStop = receive(line(9600, "8N1"), line(9600, "8N2"), "01");
    QCOMPARE(oneStop.bytes, QByteArray("01"));
    QCOMPARE(oneStop.flags, QByteArray(".."));
    QVERIFY(qFuzzyCompare(oneStop.atMs[1], 19.5 * kBitMs));
}

void UartFormatsTest::anEchoChainConvertsBothWaysAndCountsWhatAStopBitWouldMove()
{
    // what comes back of each byte sent alone, every 10 ms, through a port at `port` and a far
    // device at `device`
    bool quiet = true;   // each byte met a chain done with the one before
    auto through = [&quiet](const LineSettings &port, const LineSettings &device,
                            const QByteArray &in, bool echoOnLine = true) {
        EchoChain chain(port, device, echoOnLine);
        std::vector<UartLine::Received> out;
        for (int i = 0; i < in.size(); ++i) {
            chain.receive(i * 10.0, out);
            quiet = quiet && chain.quietAt(i * 10.0);
            chain.send(static_cast<unsigned char>(in[i]), i * 10.0);
        }
        chain.receiveAll(out);
        QByteArray got;
        for (const auto &r : out)
            got.append(static_cast<char>(r.byte));
        return got;
    };
    const LineSettings tester = line(9600, "8N1");
    QCOMPARE(through(tester, tester, "0A9Z"), QByteArray("0A9Z"));
    // a 7E1 far device: its parity bit lands in the port's eighth data bit, set for the bytes
    // with an odd number of ones ("1" 0x31, "A" 0x41 even: unchanged)
    QCOMPARE(through(tester, line(9600, "7E1"), "01AZ"), QByteArray("0\xb1" "AZ"));
    // the far device at 19200 reads "0" as 0x00 then 0xF8 (test_farend's worked case), and
    // each echoed byte is read back at 9600; with the echo as bytes it comes back as read
    QCOMPARE(through(tester, line(19200, "8N1"), "0", false), QByteArray("\x00\xf8", 2));
    // the two directions are the two lines: a port at 4800 before a far device at 9600 reads the
    // same as a far device at 19200 behind a port at 9600 (the ratio is all bytes can show)
    QCOMPARE(through(line(4800, "8N1"), tester, "0123ABCZ"),
             through(tester, line(19200, "8N1"), "0123ABCZ"));
    QVERIFY(quiet);

    // frames sent with time between them are not moved by another stop bit; back to back they are
    UartLine apart(tester, tester), close(tester, tester);
    apart.send('0', 0);
    apart.send('1', 2 * 10 * kBitMs);
    close.send('0', 0);
    close.send('1', 10.5 * kBitMs);
    QCOMPARE(apart.queued(), 0LL);
    QCOMPARE(close.queued(), 1LL);
}

QTEST_GUILESS_MAIN(UartFormatsTest)
#include "test_uartformats.moc"
