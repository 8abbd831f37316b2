// Every byte that comes back is drawn so that it can be told from every other, in Label2 and in
// the log, whatever fonts the machine has: run once with the installed fonts and once with
// fontconfig limited to the package's own dependency.
#include "tests/support/windowfixture.h"

#include "logview/cells.h"
#include "looptest/exchange.h"
#include "looptest/form1.h"

#include <QtTest>

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QClipboard>
#include <QLabel>
#include <QPainter>

#include <termios.h>

namespace {

// The pixels inside `r` of `image`, in one format, so that equal drawings compare equal.
QImage crop(const QImage &image, const QRect &r)
{
    return image.copy(r).convertToFormat(QImage::Format_ARGB32);
}

bool hasInk(const QImage &image)
{
    const QRgb background = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != background)
                return true;
    return false;
}

// What the font shows for a character it has no glyph for, the size a widget of `font` gives
// it: a private-use character no face has.
QImage missingGlyph(const QFont &font, const QPalette &palette, const QSize &size)
{
    QLabel probe;
    probe.setFont(font);
    probe.setPalette(palette);
    probe.setText(QString(QChar(0xF7FF)));
    probe.resize(size);
    return crop(probe.grab().toImage(), QRect(QPoint(0, 0), size));
}

QString hex(int byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

} // namespace

class DrawingsTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void everyByteIsDrawnDistinctlyInLabel2AndTheLogAndCopiesBack();
    void screenReaderHearsANameOrAHexValue();

private:
    void receiveAllBytes();
    QList<QImage> label2;   // Label2 after each tick, for the bytes 0x00 to 0xFF
};

void DrawingsTest::init()
{
    openWindow();
    QVERIFY(showWindow());
}

void DrawingsTest::cleanup()
{
    closeWindow();
    label2.clear();
}

// The far end answers the 256 ticks with the byte values 0 to 255 in turn.
void DrawingsTest::receiveAllBytes()
{
    termios t;   // no software flow control on this line: 0x11 and 0x13 are data here
    tcgetattr(line->far(), &t);
    t.c_iflag &= ~(IXON | IXOFF);
    tcsetattr(line->far(), TCSANOW, &t);
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    line->send(all);
    for (int b = 0; b < 256; ++b) {
        tick();
        form->FrameNow();   // the label as the frame after the tick shows it
        label2.append(crop(form->Label2->grab().toImage(), form->Label2->rect()));
    }
}

void DrawingsTest::everyByteIsDrawnDistinctlyInLabel2AndTheLogAndCopiesBack()
{
    receiveAllBytes();
    // the window after all 256 byte values, for the README
    if (const QByteArray shot = qgetenv("LOOPTEST_DRAWINGS_SHOT"); !shot.isEmpty())
        form->grab().save(QString::fromLocal8Bit(shot));
    TRichEdit *log = form->RichEdit1;
    QCOMPARE(log->length(), 255 + 1);   // and the break after "Z"
    QCOMPARE(log->toPlainText().indexOf(u'\n'), int('Z'));
    QVERIFY(label2[0].isNull() || !hasInk(label2[0]));   // a zero byte shows nothing

    const QImage labelMissing =
        missingGlyph(form->Label2->font(), form->Label2->palette(), label2[0x80].size());
    QHash<QByteArray, int> seenInLabel, seenInLog;
    for (int b = 1; b < 256; ++b) {
        const QImage &inLabel = label2[b];
        // a space is itself: blank, but as wide as a space
        QVERIFY2(hasInk(inLabel) || b == ' ', qPrintable(hex(b) + " shows nothing in Label2"));
        QVERIFY2(inLabel != labelMissing, qPrintable(hex(b) + " is the missing glyph in Label2"));
        const QByteArray key(reinterpret_cast<const char *>(inLabel.constBits()),
                             inLabel.sizeInBytes());
        const QByteArray sized = QByteArray::number(inLabel.width()) + 'x' + key;
        QVERIFY2(!seenInLabel.contains(sized),
                 qPrintable(hex(b) + " looks like " + hex(seenInLabel.value(sized)) + " in Label2"));
        seenInLabel.insert(sized, b);

        // each on its own: the half-width voiced marks join the kana before them
        log->clear();
        log->SetSelText(ReceivedText(std::uint8_t(b)));
        const QRect r = log->characterRect(0);
        QVERIFY2(!r.isEmpty(), qPrintable(hex(b) + " is not on screen"));
        const QImage inLog = crop(log->viewport()->grab().toImage(), r);
        QVERIFY2(hasInk(inLog) || b == ' ', qPrintable(hex(b) + " shows nothing in the log"));
        const QImage logMissing = missingGlyph(log->font(), log->palette(), r.size());
        QVERIFY2(inLog != logMissing, qPrintable(hex(b) + " is the missing glyph in the log"));
        const QByteArray logKey = QByteArray::number(r.width()) + 'x' +
                                  QByteArray(reinterpret_cast<const char *>(inLog.constBits()),
                                             inLog.sizeInBytes());
        QVERIFY2(!seenInLog.contains(logKey),
                 qPrintable(hex(b) + " looks like " + hex(seenInLog.value(logKey)) + " in the log"));
        seenInLog.insert(logKey, b);
    }

    // the copied log maps back to the bytes; pasted, it shows the same drawings
    log->clear();
    for (int b = 1; b < 256; ++b)
        log->SetSelText(ReceivedText(std::uint8_t(b)));
    const QImage logImage = log->viewport()->grab().toImage();
    log->selectAll();
    log->copy();
    const QString copied = QGuiApplication::clipboard()->text();
    QByteArray back;
    for (QChar c : copied)
        if (c != u'\n')
            back.append(char(logview::byteOf(c.unicode())));
    QByteArray expected;
    for (int b = 1; b < 256; ++b)
        expected.append(char(b));
    QCOMPARE(back.toHex(' '), expected.toHex(' '));

    log->clear();
    log->paste();
    QCOMPARE(log->toPlainText(), copied);
    log->setSelection(log->length(), log->length());
    QCOMPARE(log->viewport()->grab().toImage(), logImage);

    // selected, a box is drawn in the selection's text colour over its background
    log->setSelection(0, 1);
    const QImage selected = crop(log->viewport()->grab().toImage(), log->characterRect(0));
    const QRgb ink = log->palette().color(QPalette::HighlightedText).rgba();
    const QRgb ground = log->palette().color(QPalette::Highlight).rgba();
    bool inked = false, highlighted = false;
    for (int y = 0; y < selected.height(); ++y)
        for (int x = 0; x < selected.width(); ++x) {
            inked = inked || selected.pixel(x, y) == ink;
            highlighted = highlighted || selected.pixel(x, y) == ground;
        }
    QVERIFY(inked && highlighted);

}

void DrawingsTest::screenReaderHearsANameOrAHexValue()
{
    receiveAllBytes();
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(form->RichEdit1);
    QVERIFY(a && a->textInterface());
    QAccessibleTextInterface *text = a->textInterface();
    // the text is the spoken text: a box byte's name with a space on each side, the rest as drawn
    QString spoken;
    for (int b = 1; b < 256; ++b) {
        const std::string_view name = logview::boxName(std::uint8_t(b));
        const char32_t drawn = logview::byteChar(std::uint8_t(b));
        spoken += name.empty() ? QString::fromUcs4(&drawn, 1)
                               : QStringLiteral(" %1 ").arg(QLatin1String(name.data(), int(name.size())));
        if (b == 'Z')
            spoken += u'\n';
    }
    QCOMPARE(text->characterCount(), int(spoken.size()));
    QCOMPARE(text->text(0, text->characterCount()), spoken);
    // read by character from inside the name: the name, as many offsets as it has letters
    auto heard = [&](qsizetype at) {
        int start = 0, end = 0;
        const QString said = text->textAtOffset(int(at), QAccessible::CharBoundary, &start, &end);
        return std::make_pair(said, end - start);
    };
    for (const QString &name : {QStringLiteral("SOH"), QStringLiteral("ESC"), QStringLiteral("DEL"),
                                QStringLiteral("0x80"), QStringLiteral("0xFF")})
        QCOMPARE(heard(spoken.indexOf(u' ' + name + u' ') + 2), std::make_pair(name, int(name.size())));
    QCOMPARE(heard(spoken.indexOf(QStringLiteral("@A")) + 1), std::make_pair(QStringLiteral("A"), 1));
    QCOMPARE(heard(spoken.indexOf(QChar(0xFF71))), std::make_pair(QString(QChar(0xFF71)), 1));
}

QTEST_MAIN(DrawingsTest)
#include "test_drawings.moc"
