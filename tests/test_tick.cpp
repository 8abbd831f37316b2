// The exchange tick and the operator's controls, in-process against a mocked COM3.
#include "tests/support/windowfixture.h"

#include "looptest/exchange.h"
#include "looptest/form1.h"
#include "testcycle/testcycle.h"
#include "serial/port.h"

#include <QtTest>

#include <QLineEdit>
#include <QMessageBox>

#include <atomic>
#include <thread>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>

class TickTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void firstTickShowsTheCodeAndSendsZero();
    void cycleRunsThroughDigitsThenLettersAndWraps();
    void withNothingEverReceivedTheLogOnlyLosesItsSelection();
    void oneByteThenSilenceRepeatsThatByteEveryTick();
    void receivedZEndsTheLineAndLeavesTheCaretOnTheNewLine();
    void receivedByteReplacesTheSelection();
    void lateRepliesQueueAndAreReadOneATick();
    void everyByteValueIsOneCharacterAndNeverBreaksALine();
    void failedReadWarnsOnceAndTheTickGoesOnWithThePreviousByte();
    void startAndStopSwitchCaptionFlagAndTimer();
    void stopAndRestartContinueTheCycle();
    void everyPeriodOfTheListSetsItsInterval();
    void typedTextMatchingNoItemChangesNothing();
    void periodChosenWhileStoppedWaitsForTheNextStart();
    void clearingWhileRunningEmptiesTheLog();
    void ticksBetweenTwoFramesAreAllShownByTheNext_data();
    void ticksBetweenTwoFramesAreAllShownByTheNext();

private:
    QString log() const { return form->RichEdit1->toPlainText(); }
    // the operator's log, with the caret at `to` and a selection from `from` when they differ
    void setLog(const QString &text, int from, int to);
    void choosePeriod(int index);
};

void TickTest::init()
{
    openWindow();
}

void TickTest::cleanup()
{
    closeWindow();
}

void TickTest::setLog(const QString &text, int from, int to)
{
    form->RichEdit1->setPlainText(text);
    form->RichEdit1->setSelection(from, to);
}

void TickTest::choosePeriod(int index)
{
    // as the operator picks it from the list
    form->ComboBox1->setCurrentIndex(index);
    emit form->ComboBox1->activated(index);
}

void TickTest::firstTickShowsTheCodeAndSendsZero()
{
    tick();
    QCOMPARE(form->Label1->text(), QStringLiteral("48"));
    QCOMPARE(form->Label3->text(), QStringLiteral("0"));
    QCOMPARE(line->receive(), QByteArray("0"));
}

void TickTest::cycleRunsThroughDigitsThenLettersAndWraps()
{
    QStringList codes;
    for (int i = 0; i < 73; ++i) {
        tick();
        codes << form->Label1->text();
    }
    const QByteArray sent = line->receive();
    QCOMPARE(sent.size(), 73);
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(sent[i], testcycle::at(i));
    QCOMPARE(codes[9], QStringLiteral("57"));
    QCOMPARE(codes[10], QStringLiteral("65"));
    QCOMPARE(codes[35], QStringLiteral("90"));
    QCOMPARE(codes[36], QStringLiteral("48"));
    QCOMPARE(form->Label3->text(), QStringLiteral("0"));
}

void TickTest::withNothingEverReceivedTheLogOnlyLosesItsSelection()
{
    setLog(QStringLiteral("keep this"), 0, 5);
    tick();
    QCOMPARE(form->Label2->text(), QString());
    QCOMPARE(log(), QStringLiteral("this"));
    QCOMPARE(form->RichEdit1->paragraphCount(), 1);
    tick();
    QCOMPARE(log(), QStringLiteral("this"));
}

void TickTest::oneByteThenSilenceRepeatsThatByteEveryTick()
{
    line->send("K");
    for (int i = 0; i < 4; ++i)
        tick();
    QCOMPARE(form->Label2->text(), QStringLiteral("K"));
    QCOMPARE(log(), QStringLiteral("KKKK"));
}

void TickTest::receivedZEndsTheLineAndLeavesTheCaretOnTheNewLine()
{
    setLog(QStringLiteral("abc"), 1, 1);   // the operator put the caret inside the log
    line->send("Z");
    tick();
    QCOMPARE(log(), QStringLiteral("aZbc\n"));
    QCOMPARE(form->RichEdit1->caretPosition(), form->RichEdit1->length());
    QCOMPARE(form->RichEdit1->caretParagraph(), 1);
    // silence: the Z is repeated, and so is the new line
    tick();
    QCOMPARE(log(), QStringLiteral("aZbc\nZ\n"));
    line->send("0");
    tick();
    QCOMPARE(log(), QStringLiteral("aZbc\nZ\n0"));
}

void TickTest::receivedByteReplacesTheSelection()
{
    setLog(QStringLiteral("hello"), 1, 4);
    line->send("Q");
    tick();
    QCOMPARE(log(), QStringLiteral("hQo"));
}

void TickTest::lateRepliesQueueAndAreReadOneATick()
{
    line->send("ABC");
    QStringList shown;
    for (int i = 0; i < 4; ++i) {
        tick();
        shown << form->Label2->text();
    }
    QCOMPARE(shown, QStringList({"A", "B", "C", "C"}));
    QCOMPARE(log(), QStringLiteral("ABCC"));
    QCOMPARE(form->Label3->text(), QStringLiteral("3"));
}

void TickTest::everyByteValueIsOneCharacterAndNeverBreaksALine()
{
    QCOMPARE(ReceivedText(0x00), QString());
    QCOMPARE(ReceivedText('A'), QStringLiteral("A"));
    QCOMPARE(ReceivedText(' '), QStringLiteral(" "));
    QCOMPARE(ReceivedText('~'), QStringLiteral("~"));
    QCOMPARE(ReceivedText(0xA1), QString(QChar(0xFF61)));   // half-width ideographic full stop
    QCOMPARE(ReceivedText(0xB1), QString(QChar(0xFF71)));   // half-width katakana A
    QCOMPARE(ReceivedText(0xDF), QString(QChar(0xFF9F)));
    QCOMPARE(ReceivedText(0x0A), QString(QChar(0x240A)));
    QCOMPARE(ReceivedText(0x0D), QString(QChar(0x240D)));
    QCOMPARE(ReceivedText(0x01), QString(QChar(0x2401)));
    QCOMPARE(ReceivedText(0x7F), QString(QChar(0x2421)));
    for (int b : {0x80, 0x81, 0x9F, 0xA0, 0xE0, 0xFC, 0xFF})   // private use: U+F700 + byte
        QCOMPARE(ReceivedText(static_cast<unsigned char>(b)), QString(QChar(0xF700 + b)));

    // through the tick: 255 characters, one line break after the Z and no other
    QByteArray all;
    for (int b = 1; b < 256; ++b)
        all.append(static_cast<char>(b));
    termios t;   // no software flow control on this line: 0x11 and 0x13 are data here
    tcgetattr(line->far(), &t);
    t.c_iflag &= ~(IXON | IXOFF);
    tcsetattr(line->far(), TCSANOW, &t);
    line->send(all);
    for (int b = 1; b < 256; ++b) {
        tick();
        QCOMPARE(form->Label2->text(), ReceivedText(static_cast<unsigned char>(b)));
    }
    QCOMPARE(form->RichEdit1->paragraphCount(), 2);
    QCOMPARE(log().size(), 255 + 1);
    QCOMPARE(log().indexOf('\n'), int('Z'));
}

void TickTest::failedReadWarnsOnceAndTheTickGoesOnWithThePreviousByte()
{
    line->send("P");
    tick();
    QCOMPARE(form->Label2->text(), QStringLiteral("P"));
    line->receive();

    // the far end hangs up as soon as the next byte reaches it: the tick's read fails
    std::thread far([this] {
        // ahead of every ordinary task where allowed, so that the cut lands in the tick's read
        const sched_param first{1};
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &first);
        pollfd p{line->far(), POLLIN, 0};
        poll(&p, 1, 5000);
        line->hangUp();
    });
    int boxes = 0, mostAtOnce = 0;
    QString text, caption;
    bool hasIcon = true;
    int buttons = 0;
    std::function<void()> watch = [&] {
        QList<QMessageBox *> open;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                open << box;
        mostAtOnce = std::max(mostAtOnce, int(open.size()));
        if (open.isEmpty()) {
            QTimer::singleShot(5, watch);
            return;
        }
        if (++boxes < 20) {   // leave it up while ticks keep coming due
            QTimer::singleShot(5, watch);
            return;
        }
        QMessageBox *box = open.first();
        text = box->text();
        caption = box->windowTitle();
        hasIcon = box->icon() != QMessageBox::NoIcon;
        buttons = box->buttons().size();
        form->Button1Click(form->Button1);   // stop: the line is gone
        box->button(QMessageBox::Ok)->click();
    };
    QTimer::singleShot(0, watch);
    form->MsTimer1->SetInterval(1);
    form->Button1Click(form->Button1);
    QTRY_VERIFY(!text.isEmpty());
    far.join();

    QCOMPARE(text, QStringLiteral("データ入力のパイプ０の読み出しでエラーが発生"));
    QCOMPARE(caption, QStringLiteral("警告"));
    QVERIFY(!hasIcon);
    QCOMPARE(buttons, 1);
    QCOMPARE(mostAtOnce, 1);
    // the tick finished with the byte received before. The far end hangs up when the byte
    // reaches it; on a busy machine that can miss the tick's 5 ms read, and a later tick's read
    // fails instead, after ticks that read nothing and showed "P" again.
    const int ticks = log().size() - 1;
    QVERIFY2(ticks >= 1, qPrintable(log()));
    QCOMPARE(log(), QString(ticks + 1, QLatin1Char('P')));
    QCOMPARE(form->Label2->text(), QStringLiteral("P"));
    QCOMPARE(form->Label3->text(), QString(QLatin1Char(testcycle::at(ticks))));
}

void TickTest::startAndStopSwitchCaptionFlagAndTimer()
{
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    QCOMPARE(form->Button1->Tag, 1);
    QCOMPARE(form->Button1->text(), QStringLiteral("送信停止"));
    QVERIFY(form->MsTimer1->Enabled());
    QCOMPARE(form->MsTimer1->Interval(), 1000u);
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    QCOMPARE(form->Button1->Tag, 0);
    QCOMPARE(form->Button1->text(), QStringLiteral("送信開始"));
    QVERIFY(!form->MsTimer1->Enabled());
}

void TickTest::stopAndRestartContinueTheCycle()
{
    choosePeriod(15);
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    QByteArray sent;
    QTRY_VERIFY((sent += line->receive(1)).size() >= 5);
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    sent += line->receive(20);
    const int before = sent.size();
    QTest::qWait(30);
    QCOMPARE(line->receive(10), QByteArray());   // nothing while stopped

    QTest::mouseClick(form->Button1, Qt::LeftButton);
    QTRY_VERIFY((sent += line->receive(1)).size() >= before + 3);
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    sent += line->receive(20);
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(sent[i], testcycle::at(i));
}

void TickTest::everyPeriodOfTheListSetsItsInterval()
{
    // the item's number is the period (the items themselves are pinned by the window's test)
    QCOMPARE(form->ComboBox1->count(), 16);
    for (int i = 15; i >= 0; --i) {
        choosePeriod(i);
        QCOMPARE(form->MsTimer1->Interval(), form->ComboBox1->itemText(i).toUInt());
    }
}

void TickTest::typedTextMatchingNoItemChangesNothing()
{
    choosePeriod(7);
    QLineEdit *edit = form->ComboBox1->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("9x"));
    QCOMPARE(form->ComboBox1->ItemIndex(), -1);
    QCOMPARE(form->MsTimer1->Interval(), 50u);
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(form->ComboBox1->count(), 16);   // typed text never becomes an item
    QCOMPARE(form->MsTimer1->Interval(), 50u);
    QVERIFY(!form->MsTimer1->Enabled());
}

void TickTest::periodChosenWhileStoppedWaitsForTheNextStart()
{
    choosePeriod(12);
    QVERIFY(!form->MsTimer1->Enabled());
    QCOMPARE(form->Button1->Tag, 0);
    QTest::qWait(30);
    QCOMPARE(line->receive(5), QByteArray());
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    QCOMPARE(form->MsTimer1->Interval(), 5u);
    QByteArray sent;
    QTRY_VERIFY(!(sent += line->receive(5)).isEmpty());
}

void TickTest::clearingWhileRunningEmptiesTheLog()
{
    form->RichEdit1->setPlainText(QStringLiteral("old log"));
    choosePeriod(10);
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    line->send("N");
    QTRY_VERIFY(log().contains('N'));
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    QVERIFY(form->RichEdit1->isEmpty());
    QVERIFY(form->MsTimer1->Enabled());
    QTRY_VERIFY(log().startsWith('N'));
    QTest::mouseClick(form->Button1, Qt::LeftButton);
}

// At short periods many ticks come between two frames: the frame after them shows the last
// tick's captions, each fitted, and every byte the ticks logged, as a fresh paint of the window.
void TickTest::ticksBetweenTwoFramesAreAllShownByTheNext_data()
{
    QTest::addColumn<QByteArray>("replies");
    QTest::newRow("one tick") << QByteArray("0");
    QTest::newRow("captions of other widths") << QByteArray("0123456789ABCDEFG");
    QTest::newRow("past a Z") << QByteArray("XYZ0123");
    QTest::newRow("a byte no font shows") << QByteArray("0\x01" "1\x7f");
}

void TickTest::ticksBetweenTwoFramesAreAllShownByTheNext()
{
    QFETCH(QByteArray, replies);
    QVERIFY(showWindow());
    line->send(replies);
    for (int i = 0; i < replies.size(); ++i)
        tick();
    const auto shown = [&] {
        return form->screen()->grabWindow(form->winId()).toImage().convertToFormat(
            QImage::Format_RGB32);
    };
    const auto fresh = [&] { return form->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    // the frame comes when the window's frame time has passed; nothing here times it
    QTRY_VERIFY(shown() == fresh());
}

QTEST_MAIN(TickTest)
#include "test_tick.moc"
