// The main window as laid out, its start state, and its close.
#include "tests/support/windowfixture.h"

#include "looptest/form1.h"
#include "serial/commapi.h"
#include "serial/port.h"

#include <QtTest>

#include <QFontDatabase>
#include <QFontInfo>
#include <QLineEdit>

#include <termios.h>

namespace {

bool isJapaneseWindowFace(const QFont &font)
{
    const QString family = QFontInfo(font).family();
    return family == QStringLiteral("ＭＳ Ｐゴシック") || family == QStringLiteral("IPAPGothic") ||
           QFontDatabase::families(QFontDatabase::Japanese).contains(family);
}

} // namespace

class WindowTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void windowHasItsCaptionPlaceAndSize();
    void labelsStandWhereLaidOutInTheirFonts_data();
    void labelsStandWhereLaidOutInTheirFonts();
    void labelsResizeToANewCaptionAndKeepTheirCorner();
    void controlsStandWhereLaidOut();
    void tabOrderStartsAtTheStartButton();
    void startsStoppedAtOneSecondWithAnEmptyLog();
    void startupSetsTheLineTo9600EightNOneAndItsTimeouts();
    void closingClosesThePortOnce();
};

void WindowTest::init()
{
    openWindow();
}

void WindowTest::cleanup()
{
    closeWindow();
}

void WindowTest::windowHasItsCaptionPlaceAndSize()
{
    QCOMPARE(form->windowTitle(),
             QStringLiteral("Windows→RS232C→仮想COM３（ComportRedirector)→LANケーブル（TCP/IP)→"
                            "Xport→RS232C→PIC"));
    QCOMPARE(form->objectName(), QStringLiteral("Form1"));
    QCOMPARE(form->metaObject()->className(), "TForm1");
    // no window manager here: the client area takes the outer size
    QCOMPARE(form->size(), QSize(742, 625));
    QCOMPARE(form->pos(), QPoint(148, 116));
    QCOMPARE(form->font().pixelSize(), 12);
    QVERIFY(!form->font().bold());
    QVERIFY(isJapaneseWindowFace(form->font()));
    QCOMPARE(form->palette().color(QPalette::Window), form->palette().color(QPalette::Button));
}

void WindowTest::labelsStandWhereLaidOutInTheirFonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("corner");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Label6") << "Label6" << QPoint(80, 64) << 29 << "送信";
    QTest::newRow("Label4") << "Label4" << QPoint(184, 32) << 16 << "ASCII コード";
    QTest::newRow("Label1") << "Label1" << QPoint(296, 32) << 24 << "label1";
    QTest::newRow("Label5") << "Label5" << QPoint(192, 88) << 16 << "ASCII文字";
    QTest::newRow("Label3") << "Label3" << QPoint(296, 80) << 24 << "Label3";
    QTest::newRow("Label7") << "Label7" << QPoint(88, 168) << 24 << "受信";
    QTest::newRow("Label8") << "Label8" << QPoint(168, 176) << 16 << "ASCII文字";
    QTest::newRow("Label2") << "Label2" << QPoint(288, 176) << 24 << "Label2";
    QTest::newRow("Label9") << "Label9" << QPoint(504, 96) << 24 << "送信周期";
    QTest::newRow("Label10") << "Label10" << QPoint(584, 152) << 24 << "msec";
}

void WindowTest::labelsStandWhereLaidOutInTheirFonts()
{
    QFETCH(QString, name);
    QFETCH(QPoint, corner);
    QFETCH(int, pixels);
    QFETCH(QString, caption);
    auto *label = form->findChild<TLabel *>(name);
    QVERIFY(label);
    QCOMPARE(label->metaObject()->className(), "TLabel");
    QCOMPARE(label->pos(), corner);
    QCOMPARE(label->text(), caption);
    QCOMPARE(label->size(), label->sizeHint());
    QCOMPARE(label->font().pixelSize(), pixels);
    QVERIFY(label->font().bold());
    QVERIFY(isJapaneseWindowFace(label->font()));
    QCOMPARE(label->palette().color(QPalette::WindowText),
             QApplication::palette().color(QPalette::WindowText));
}

void WindowTest::labelsResizeToANewCaptionAndKeepTheirCorner()
{
    const QSize before = form->Label1->size();
    form->Label1->SetCaption(QStringLiteral("48"));
    QCOMPARE(form->Label1->pos(), QPoint(296, 32));
    QVERIFY(form->Label1->width() < before.width());
    form->Label2->SetCaption(QString());
    QCOMPARE(form->Label2->pos(), QPoint(288, 176));
    QVERIFY(form->Label2->width() < form->Label1->width());
}

void WindowTest::controlsStandWhereLaidOut()
{
    QCOMPARE(form->Button1->metaObject()->className(), "TButton");
    QCOMPARE(form->Button1->objectName(), QStringLiteral("Button1"));
    QCOMPARE(form->Button1->geometry(), QRect(536, 24, 57, 49));
    QCOMPARE(form->Button1->text(), QStringLiteral("送信開始"));
    QCOMPARE(form->Button1->font().pixelSize(), 12);
    QVERIFY(!form->Button1->font().bold());

    QCOMPARE(form->ComboBox1->metaObject()->className(), "TComboBox");
    QCOMPARE(form->ComboBox1->objectName(), QStringLiteral("ComboBox1"));
    QCOMPARE(form->ComboBox1->geometry(), QRect(496, 120, 113, 32));
    QVERIFY(form->ComboBox1->isEditable());
    QStringList items;
    for (int i = 0; i < form->ComboBox1->count(); ++i)
        items << form->ComboBox1->itemText(i);
    QCOMPARE(items, QStringList({"1000", "700", "500", "300", "200", "100", "70", "50", "30",
                                 "20", "10", "7", "5", "3", "2", "1"}));
    QCOMPARE(form->ComboBox1->font().pixelSize(), 24);
    QVERIFY(form->ComboBox1->font().bold());
    QVERIFY(isJapaneseWindowFace(form->ComboBox1->font()));
    QCOMPARE(form->ComboBox1->palette().color(QPalette::Text), QColor(Qt::red));
    QCOMPARE(form->ComboBox1->itemData(0, Qt::SizeHintRole).toSize().height(), 24);

    QCOMPARE(form->RichEdit1->metaObject()->className(), "TRichEdit");
    QCOMPARE(form->RichEdit1->objectName(), QStringLiteral("RichEdit1"));
    QCOMPARE(form->RichEdit1->geometry(), QRect(88, 216, 529, 329));
    QCOMPARE(form->RichEdit1->font().pixelSize(), 12);
    QCOMPARE(form->RichEdit1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(form->RichEdit1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    // editable: it takes the keyboard and input methods
    QCOMPARE(form->RichEdit1->focusPolicy(), Qt::StrongFocus);
    QVERIFY(form->RichEdit1->testAttribute(Qt::WA_InputMethodEnabled));

    QCOMPARE(form->Button2->objectName(), QStringLiteral("Button2"));
    QCOMPARE(form->Button2->geometry(), QRect(640, 240, 57, 41));
    QCOMPARE(form->Button2->text(), QStringLiteral("clear"));
    QCOMPARE(form->Button2->font().pixelSize(), 19);
    QVERIFY(form->Button2->font().bold());

    QCOMPARE(form->MsTimer1->objectName(), QStringLiteral("MsTimer1"));
    QCOMPARE(form->MsTimer1->parent(), form);
}

void WindowTest::tabOrderStartsAtTheStartButton()
{
    QVERIFY(showWindow(true));
    QCOMPARE(QApplication::focusWidget(), form->Button1);
    const QList<QWidget *> expected{form->ComboBox1, form->RichEdit1, form->Button2,
                                    form->Button1};
    for (QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        // the combo box's line edit holds the focus on the box's behalf
        if (focus == static_cast<QWidget *>(form->ComboBox1->lineEdit()))
            focus = form->ComboBox1;
        QCOMPARE(focus, next);
    }
}

void WindowTest::startsStoppedAtOneSecondWithAnEmptyLog()
{
    QCOMPARE(form->ComboBox1->currentText(), QStringLiteral("1000"));
    QCOMPARE(form->ComboBox1->ItemIndex(), 0);
    QVERIFY(form->RichEdit1->isEmpty());
    QCOMPARE(form->Button1->Tag, 0);
    QVERIFY(!form->MsTimer1->Enabled());
    QCOMPARE(form->MsTimer1->Interval(), 1000u);
    QCOMPARE(form->Label1->text(), QStringLiteral("label1"));
    QCOMPARE(form->Label3->text(), QStringLiteral("Label3"));
    QCOMPARE(form->Label2->text(), QStringLiteral("Label2"));
    QVERIFY(PortHandle != INVALID_HANDLE_VALUE);
}

void WindowTest::startupSetsTheLineTo9600EightNOneAndItsTimeouts()
{
    // the terminal behind COM3 as its far end sees it (a pseudo-terminal starts at 38400)
    termios t{};
    QCOMPARE(tcgetattr(line->far(), &t), 0);
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB), tcflag_t(0));

    COMMTIMEOUTS held{};
    QVERIFY(GetCommTimeouts(PortHandle, &held));
    QCOMPARE(held.ReadIntervalTimeout, DWORD(5));
    QCOMPARE(held.ReadTotalTimeoutMultiplier, DWORD(0));
    QCOMPARE(held.ReadTotalTimeoutConstant, DWORD(5));
    QCOMPARE(held.WriteTotalTimeoutMultiplier, DWORD(0));
    QCOMPARE(held.WriteTotalTimeoutConstant, DWORD(5));
}

void WindowTest::closingClosesThePortOnce()
{
    QVERIFY(showWindow());
    const HANDLE handle = PortHandle;
    QVERIFY(form->close());
    // the port is free again, and no second close is pending on the handle
    QVERIFY(!CloseHandle(handle));
    HANDLE again = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(again != INVALID_HANDLE_VALUE);
    QVERIFY(CloseHandle(again));
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
