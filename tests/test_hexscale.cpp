// The hex boxes at the scale factor the test runs at (QT_SCALE_FACTOR): every box reads back as
// its byte from the program's own digit shapes, drawn in whole device pixels, and every copy of
// one byte's box is the same pixels wherever it stands, in the log and in Label2. Its digits
// grow with the text.
#include "tests/support/windowfixture.h"

#include "logview/cells.h"
#include "logview/hexbox.h"

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

// A box drawn in `image` in the program's shape for the scale it was drawn at.
struct Box {
    const QImage &image;
    QRgb ink;
    logview::HexBox::Shape shape;

    QSize size() const { return shape.size(); }
    // 1 when `r` (relative to the box at `at`) is all ink, 0 when it has none, -1 when it is
    // partly inked (a box not drawn in whole device pixels).
    int inked(QPoint at, const QRect &r) const
    {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                n += image.pixel(at.x() + x, at.y() + y) == ink;
        return n == r.width() * r.height() ? 1 : n == 0 ? 0 : -1;
    }
    bool framed(QPoint at) const
    {
        const int f = shape.frame, w = size().width(), h = size().height();
        return inked(at, QRect(0, 0, w, f)) == 1 && inked(at, QRect(0, h - f, w, f)) == 1 &&
               inked(at, QRect(0, f, f, h - 2 * f)) == 1 &&
               inked(at, QRect(w - f, f, f, h - 2 * f)) == 1;
    }
    // The frame's corner within `area` (device pixels): the first place a full frame stands.
    std::optional<QPoint> find(const QRect &area) const
    {
        const QRect inside = area.intersected(image.rect());
        for (int y = inside.top(); y + size().height() <= inside.bottom() + 1; ++y)
            for (int x = inside.left(); x + size().width() <= inside.right() + 1; ++x)
                if (framed(QPoint(x, y)))
                    return QPoint(x, y);
        return std::nullopt;
    }
    // The byte the box at `at` shows, read from its digits against the program's own shapes;
    // -1 when a digit pixel is partly inked, a space is not clear, or a digit matches none.
    int read(QPoint at) const
    {
        const int f = shape.frame, d = shape.digit, w = size().width(), h = size().height();
        const QRect spaces[] = {QRect(f, f, w - 2 * f, f), QRect(f, h - 2 * f, w - 2 * f, f),
                                QRect(f, 2 * f, f, 5 * d), QRect(w - 2 * f, 2 * f, f, 5 * d),
                                QRect(2 * f + 3 * d, 2 * f, f, 5 * d)};
        for (const QRect &space : spaces)
            if (inked(at, space) != 0)
                return -1;
        int byte = 0;
        for (int k = 0; k < 2; ++k) {
            std::uint8_t rows[5] = {};
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 3; ++x) {
                    const int b =
                        inked(at, QRect(2 * f + k * (3 * d + f) + x * d, 2 * f + y * d, d, d));
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

class HexScaleTest : public QObject, WindowFixture {
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
};

void HexScaleTest::init()
{
    openWindow();
    QVERIFY(showWindow());
}

void HexScaleTest::cleanup()
{
    closeWindow();
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
                  logview::HexBox(log->font()).shape(ratio)};
    const QPoint origin = log->viewport()->mapTo(form, QPoint(0, 0));
    const auto at =
        box.find(devicePixels(log->characterRect(1).translated(origin), ratio, box.shape.digit + 2));
    QVERIFY2(at, "no box frame where the byte stands");
    QCOMPARE(box.read(*at), byte);
    // legible: the box grows with the text, filling most of its cell at every scale
    const qreal cellWidth = logview::HexBox(log->font()).size().width() * ratio;
    QVERIFY2(box.size().width() >= 0.7 * cellWidth,
             qPrintable(QStringLiteral("a box %1 wide in a cell %2 wide")
                            .arg(box.size().width()).arg(cellWidth)));

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
                  logview::HexBox(log->font()).shape(ratio)};
    const QPoint origin = log->viewport()->mapTo(form, QPoint(0, 0));

    QHash<int, QList<QImage>> copies;
    for (const auto &[offset, byte] : placed) {
        const QRect cell = log->characterRect(offset);
        if (cell.isEmpty())
            continue;   // below the view
        const auto at = box.find(devicePixels(cell.translated(origin), ratio, box.shape.digit + 2));
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
                      logview::HexBox(label->font()).shape(ratio)};
        const auto at = box.find(devicePixels(label->geometry(), ratio, box.shape.digit + 2));
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
