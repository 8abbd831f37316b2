// The hex boxes at the scale factor the test runs at (QT_SCALE_FACTOR): every box reads back as
// its byte from the program's own digit shapes, drawn in whole device pixels, and every copy of
// one byte's box is the same pixels wherever it stands, in the log and in Label2.
#include "tests/support/testbed.h"

#include "app/form1.h"
#include "logview/cells.h"
#include "logview/hexbox.h"
#include "looptest/exchange.h"

#include <QtTest>

#include <optional>

namespace {

QList<int> boxBytes()
{
    QList<int> bytes;
    for (int b = 1; b < 256; ++b)
        if (logview::isHexBoxByte(std::uint8_t(b)))
            bytes << b;
    return bytes;
}

QString charOf(int byte)
{
    const char32_t c = logview::byteChar(std::uint8_t(byte));
    return QString::fromUcs4(&c, 1);
}

// A box drawn in `image` at scale `s` (device pixels a digit pixel): its frame's top-left corner.
struct Box {
    const QImage &image;
    QRgb ink;
    int s;

    QSize size() const { return QSize(11 * s, 9 * s); }
    // 1 when the digit pixel (bx, by) of the box at `at` is all ink, 0 when it has none, -1 when
    // it is partly inked (a box not drawn in whole device pixels).
    int block(QPoint at, int bx, int by) const
    {
        int inked = 0;
        for (int y = 0; y < s; ++y)
            for (int x = 0; x < s; ++x)
                inked += image.pixel(at.x() + bx * s + x, at.y() + by * s + y) == ink;
        return inked == s * s ? 1 : inked == 0 ? 0 : -1;
    }
    // The frame's corner within `area` (device pixels): the first place a full frame stands.
    std::optional<QPoint> find(const QRect &area) const
    {
        const QRect inside = area.intersected(image.rect());
        for (int y = inside.top(); y + size().height() <= inside.bottom() + 1; ++y)
            for (int x = inside.left(); x + size().width() <= inside.right() + 1; ++x) {
                const QPoint at(x, y);
                bool frame = true;
                for (int i = 0; frame && i < 11; ++i)
                    frame = block(at, i, 0) == 1 && block(at, i, 8) == 1;
                for (int i = 1; frame && i < 8; ++i)
                    frame = block(at, 0, i) == 1 && block(at, 10, i) == 1;
                if (frame)
                    return at;
            }
        return std::nullopt;
    }
    // The byte the box at `at` shows, read from its digits against the program's own shapes;
    // -1 when a digit pixel is partly inked, a space is not clear, or a digit matches none.
    int read(QPoint at) const
    {
        for (int i = 1; i < 10; ++i)
            if (block(at, i, 1) != 0 || block(at, i, 7) != 0)
                return -1;
        for (int i = 2; i < 7; ++i)
            if (block(at, 1, i) != 0 || block(at, 5, i) != 0 || block(at, 9, i) != 0)
                return -1;
        int byte = 0;
        for (int d = 0; d < 2; ++d) {
            std::uint8_t rows[5] = {};
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 3; ++x) {
                    const int b = block(at, 2 + 4 * d + x, 2 + y);
                    if (b < 0)
                        return -1;
                    rows[y] |= std::uint8_t(b << (2 - x));
                }
            int digit = -1;
            for (int v = 0; v < 16 && digit < 0; ++v)
                if (std::equal(rows, rows + 5, logview::hexDigitRows(v)))
                    digit = v;
            if (digit < 0)
                return -1;
            byte = byte * 16 + digit;
        }
        return byte;
    }
    QImage crop(QPoint at) const
    {
        return image.copy(QRect(at, size())).convertToFormat(QImage::Format_ARGB32);
    }
};

// The device-pixel rectangle of a logical one in an image grabbed at `ratio`, with `margin`
// device pixels around it.
QRect devicePixels(const QRect &logical, qreal ratio, int margin)
{
    const QRectF r(QPointF(logical.topLeft()) * ratio, QSizeF(logical.size()) * ratio);
    return r.toAlignedRect().adjusted(-margin, -margin, margin, margin);
}

} // namespace

class HexScaleTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void knownBytesReadBackDigitForDigit_data();
    void knownBytesReadBackDigitForDigit();
    void everyBoxInTheLogReadsAsItsByteAndIsTheSameWherever();
    void everyBoxInLabel2ReadsAsItsByteAndIsTheSameWherever();

private:
    // Label2 showing `byte` at its place and one logical pixel off each way: the boxes found.
    QList<QImage> label2Boxes(int byte, int *read);
    ComTestbed *line = nullptr;
    TForm1 *form = nullptr;
};

void HexScaleTest::init()
{
    line = new ComTestbed;
    form = new TForm1(nullptr);
    TestChar = 47;
    SendByte = 0;
    ReceiveByte = 0;
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form));
}

void HexScaleTest::cleanup()
{
    form->close();
    delete form;
    delete line;
}

void HexScaleTest::knownBytesReadBackDigitForDigit_data()
{
    QTest::addColumn<int>("byte");
    // digits that differ in shape on both sides, so a swap or a wrong digit shows
    for (int b : {0x1B, 0x1F, 0x80, 0xFE, 0x7F, 0xE0})
        QTest::newRow(qPrintable(QStringLiteral("0x%1").arg(b, 2, 16))) << b;
}

void HexScaleTest::knownBytesReadBackDigitForDigit()
{
    QFETCH(int, byte);
    TRichEdit *log = form->RichEdit1;
    log->setPlainText(QStringLiteral("a") + charOf(byte));
    const QImage shot = form->grab().toImage();
    const qreal ratio = shot.devicePixelRatio();
    const Box box{shot, log->palette().color(QPalette::Text).rgb(),
                  logview::HexBox(log->font()).pixelScale(ratio)};
    const QPoint origin = log->viewport()->mapTo(form, QPoint(0, 0));
    const auto at =
        box.find(devicePixels(log->characterRect(1).translated(origin), ratio, box.s + 2));
    QVERIFY2(at, "no box frame where the byte stands");
    QCOMPARE(box.read(*at), byte);

    int read = -1;
    label2Boxes(byte, &read);
    QCOMPARE(read, byte);
}

void HexScaleTest::everyBoxInTheLogReadsAsItsByteAndIsTheSameWherever()
{
    // each byte three times, after text of different widths, so that the copies stand at
    // different fractions of a logical pixel and on rows that do too
    const QList<int> bytes = boxBytes();
    const QString before[] = {QString(), QStringLiteral("i"), QStringLiteral("W ")};
    QString text;
    QList<std::pair<int, int>> placed;   // (offset, byte)
    for (const QString &prefix : before)
        for (int b : bytes) {
            text += prefix;
            placed.append({int(text.size()), b});
            text += charOf(b);
        }
    TRichEdit *log = form->RichEdit1;
    log->setPlainText(text);
    const QImage shot = form->grab().toImage();
    const qreal ratio = shot.devicePixelRatio();
    const Box box{shot, log->palette().color(QPalette::Text).rgb(),
                  logview::HexBox(log->font()).pixelScale(ratio)};
    const QPoint origin = log->viewport()->mapTo(form, QPoint(0, 0));

    QHash<int, QList<QImage>> copies;
    for (const auto &[offset, byte] : placed) {
        const QRect cell = log->characterRect(offset);
        if (cell.isEmpty())
            continue;   // below the view
        const auto at = box.find(devicePixels(cell.translated(origin), ratio, box.s + 2));
        QVERIFY2(at, qPrintable(QStringLiteral("no frame for 0x%1 at %2").arg(byte, 2, 16)
                                    .arg(offset)));
        QCOMPARE(box.read(*at), byte);
        copies[byte].append(box.crop(*at));
    }
    for (int b : bytes) {
        QVERIFY2(copies[b].size() >= 2, qPrintable(QStringLiteral("0x%1 seen %2 times")
                                                       .arg(b, 2, 16).arg(copies[b].size())));
        for (const QImage &copy : copies[b])
            QVERIFY2(copy == copies[b].first(),
                     qPrintable(QStringLiteral("0x%1 drawn two ways").arg(b, 2, 16)));
    }
}

QList<QImage> HexScaleTest::label2Boxes(int byte, int *read)
{
    TLabel *label = form->Label2;
    const QPoint home = label->pos();
    label->SetCaption(charOf(byte));
    QList<QImage> found;
    *read = -2;
    for (const QPoint &off : {QPoint(0, 0), QPoint(1, 1), QPoint(-1, 0), QPoint(0, -1)}) {
        label->move(home + off);
        const QImage shot = form->grab().toImage();
        const qreal ratio = shot.devicePixelRatio();
        const Box box{shot, label->palette().color(label->foregroundRole()).rgb(),
                      logview::HexBox(label->font()).pixelScale(ratio)};
        const auto at = box.find(devicePixels(label->geometry(), ratio, box.s + 2));
        if (!at) {
            *read = -1;
            break;
        }
        const int r = box.read(*at);
        if (*read == -2 || r != byte)
            *read = r;
        found.append(box.crop(*at));
    }
    label->move(home);
    return found;
}

void HexScaleTest::everyBoxInLabel2ReadsAsItsByteAndIsTheSameWherever()
{
    for (int b : boxBytes()) {
        int read = -1;
        const QList<QImage> boxes = label2Boxes(b, &read);
        QCOMPARE(read, b);
        for (const QImage &copy : boxes)
            QVERIFY2(copy == boxes.first(),
                     qPrintable(QStringLiteral("0x%1 drawn two ways in Label2").arg(b, 2, 16)));
    }
}

QTEST_MAIN(HexScaleTest)
#include "test_hexscale.moc"
