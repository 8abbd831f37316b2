// The window's labels: each caption looks exactly as a plain-text QLabel shows it, and what
// depends only on the caption is made once.
#include "vcl/label.h"
#include "looptest/exchange.h"
#include "looptest/fonts.h"

#include <QtTest>

#include <QAccessible>
#include <QLabel>

namespace {

// A label and a QLabel at the same place on a window-coloured parent, shown one at a time.
struct Pair {
    Pair(const QFont &font) : mine(&parent, 10, 10, QString(), font), theirs(&parent)
    {
        QPalette face = parent.palette();
        face.setColor(QPalette::Window, face.color(QPalette::Button));
        parent.setPalette(face);
        parent.setAutoFillBackground(true);
        parent.resize(160, 60);
        theirs.setFont(font);
        theirs.move(10, 10);
    }
    QImage shot(QWidget &shown)
    {
        (&shown == &mine ? static_cast<QWidget &>(theirs) : mine).hide();
        shown.show();
        return parent.grab().toImage();
    }
    void show(const QString &caption)
    {
        mine.SetCaption(caption);
        theirs.setText(caption);
        theirs.adjustSize();
    }
    QWidget parent;
    TLabel mine;
    QLabel theirs;
};


} // namespace

class LabelTest : public QObject {
    Q_OBJECT
private slots:
    void everyCaptionLooksAsAQLabelShowsIt_data();
    void everyCaptionLooksAsAQLabelShowsIt();
    void aResizedOrDisabledLabelStillLooksAsAQLabel();
    void aControlBeneathALabelShowsThroughItAsThroughAQLabel();
    void eachCaptionIsLaidOutOnceUntilTheFontChanges();
    void aScreenReaderReadsTheCaption();
};

void LabelTest::everyCaptionLooksAsAQLabelShowsIt_data()
{
    QTest::addColumn<int>("pixels");
    QTest::addColumn<QStringList>("captions");
    QStringList ticked{QStringLiteral("label1"), QStringLiteral("Label2"), QStringLiteral("Label3")};
    for (int code = 48; code <= 90; ++code)
        ticked << QString::number(code) << QString(QChar(code));
    for (int byte = 0; byte < 256; ++byte)
        ticked << ReceivedText(static_cast<unsigned char>(byte));
    QTest::newRow("the tick's captions, 24 px") << 24 << ticked;
    const QStringList fixed{QStringLiteral("ASCII コード"), QStringLiteral("ASCII文字"),
                            QStringLiteral("送信"), QStringLiteral("受信"),
                            QStringLiteral("送信周期"), QStringLiteral("msec"),
                            QStringLiteral("a\tb"), QStringLiteral("two\nlines"),
                            QStringLiteral("שלום")};
    QTest::newRow("fixed captions, tabs, lines, right to left, 16 px") << 16 << fixed;
    QTest::newRow("fixed captions, tabs, lines, right to left, 29 px") << 29 << fixed;
}

void LabelTest::everyCaptionLooksAsAQLabelShowsIt()
{
    QFETCH(int, pixels);
    QFETCH(QStringList, captions);
    Pair pair(JapaneseFont(pixels, true));
    for (const QString &caption : captions) {
        pair.show(caption);
        QCOMPARE(pair.mine.text(), caption);
        QCOMPARE(pair.mine.size(), pair.theirs.size());
        QCOMPARE(pair.mine.sizeHint(), pair.theirs.sizeHint());
        QVERIFY2(pair.shot(pair.mine) == pair.shot(pair.theirs), qPrintable(caption));
    }
}

void LabelTest::aResizedOrDisabledLabelStillLooksAsAQLabel()
{
    Pair pair(JapaneseFont(24, true));
    pair.show(QStringLiteral("A"));
    pair.mine.resize(60, 41);
    pair.theirs.resize(60, 41);
    QVERIFY(pair.shot(pair.mine) == pair.shot(pair.theirs));
    pair.mine.setEnabled(false);
    pair.theirs.setEnabled(false);
    QVERIFY(pair.shot(pair.mine) == pair.shot(pair.theirs));
}

void LabelTest::aControlBeneathALabelShowsThroughItAsThroughAQLabel()
{
    Pair pair(JapaneseFont(24, true));
    QWidget beneath(&pair.parent);
    beneath.setGeometry(0, 0, 30, 25);
    QPalette red = beneath.palette();
    red.setColor(QPalette::Window, Qt::red);
    beneath.setPalette(red);
    beneath.setAutoFillBackground(true);
    beneath.lower();
    beneath.show();
    pair.show(QStringLiteral("ASCII"));
    QVERIFY(pair.shot(pair.mine) == pair.shot(pair.theirs));
}

void LabelTest::eachCaptionIsLaidOutOnceUntilTheFontChanges()
{
    QWidget parent;
    TLabel label(&parent, 0, 0, QStringLiteral("48"), JapaneseFont(24, true));
    const QSize small = label.size();
    QStringList made;
    label.SetFaceMaker([&made](const QString &caption, const QFont &font) {
        made << caption;
        return TLabel::TextFace(caption, font);
    });
    QCOMPARE(made, QStringList{"48"});   // the caption shown is made again by the new maker
    for (int i = 0; i < 100; ++i) {
        label.SetCaption(QStringLiteral("9"));
        label.SetCaption(QStringLiteral("48"));
    }
    QCOMPARE(made, (QStringList{"48", "9"}));
    QCOMPARE(label.size(), small);
    label.setFont(JapaneseFont(48, true));
    label.SetCaption(QStringLiteral("9"));
    label.SetCaption(QStringLiteral("48"));
    QCOMPARE(made, (QStringList{"48", "9", "9", "48"}));
    QVERIFY(label.width() > small.width());
    QCOMPARE(label.size(), label.sizeHint());
    QCOMPARE(label.pos(), QPoint(0, 0));
}

void LabelTest::aScreenReaderReadsTheCaption()
{
    QWidget parent;
    TLabel label(&parent, 0, 0, QStringLiteral("送信"), JapaneseFont(24, true));
    QLabel plain(QStringLiteral("送信"), &parent);
    QAccessibleInterface *mine = QAccessible::queryAccessibleInterface(&label);
    QAccessibleInterface *theirs = QAccessible::queryAccessibleInterface(&plain);
    QVERIFY(mine && theirs);
    QCOMPARE(mine->role(), theirs->role());
    QCOMPARE(mine->text(QAccessible::Name), theirs->text(QAccessible::Name));
    label.SetCaption(QStringLiteral("Z"));
    QCOMPARE(mine->text(QAccessible::Name), QStringLiteral("Z"));
}

QTEST_MAIN(LabelTest)
#include "test_label.moc"
