// What the keyboard does in the window: Enter presses the focused button, typed periods take
// effect as shown, and the focus frame is there from the first frame.
#include "tests/support/windowfixture.h"

#include <QtTest>

#include <QAbstractItemView>
#include <QLineEdit>

#include <utility>

class KeysTest : public QObject, WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void enterAndKeypadEnterPressTheFocusedButton();
    void typedPeriodThatNamesAnItemIsChosenAndShown_data();
    void typedPeriodThatNamesAnItemIsChosenAndShown();
    void typedTextNamingNoItemGivesWayToThePeriodInForce();
    void leavingTheBoxTakesTheTypedPeriod();
    void arrowsStepThroughThePeriodsAndF4OrAltDownOpensTheList();
    void focusFrameShowsFromTheFirstFrame();

private:
    // Types `text` over the box's text and presses Enter, as the operator does.
    void typePeriod(const QString &text);
    QImage startButton() const { return form->Button1->grab().toImage(); }
};

void KeysTest::init()
{
    openWindow();
    QVERIFY(showWindow(true));
}

void KeysTest::cleanup()
{
    closeWindow();
}

void KeysTest::typePeriod(const QString &text)
{
    form->ComboBox1->setFocus(Qt::TabFocusReason);
    QLineEdit *edit = form->ComboBox1->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

void KeysTest::enterAndKeypadEnterPressTheFocusedButton()
{
    QCOMPARE(QApplication::focusWidget(), form->Button1);   // Start has the focus at start-up
    form->ComboBox1->SetItemIndex(15);                        // "1"
    form->MsTimer1->SetInterval(1);
    QTest::keyClick(form->Button1, Qt::Key_Return);
    QCOMPARE(form->Button1->Tag, 1);
    QVERIFY(form->MsTimer1->Enabled());
    QCOMPARE(form->Button1->text(), QStringLiteral("送信停止"));
    QByteArray sent;   // and the tester sends
    QTRY_VERIFY(!(sent += line->receive(5)).isEmpty());
    QCOMPARE(sent[0], '0');
    QTest::keyClick(form->Button1, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(form->Button1->Tag, 0);
    QVERIFY(!form->MsTimer1->Enabled());
    // a held Enter presses once, not once per repeat
    QTest::sendKeyEvent(QTest::Press, form->Button1, Qt::Key_Return, QString(), Qt::NoModifier);
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(form->Button1, &repeat);
    QTest::sendKeyEvent(QTest::Release, form->Button1, Qt::Key_Return, QString(), Qt::NoModifier);
    QCOMPARE(form->Button1->Tag, 1);

    form->RichEdit1->setPlainText(QStringLiteral("ACK"));
    form->Button2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(form->Button2, Qt::Key_Return);
    QCOMPARE(form->RichEdit1->length(), 0);
}

void KeysTest::typedPeriodThatNamesAnItemIsChosenAndShown_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<uint>("period");
    // each is the start of longer items ("1000", "70"), which must not stand in for it
    QTest::newRow("10") << QStringLiteral("10") << 10u;
    QTest::newRow("100") << QStringLiteral("100") << 100u;
    QTest::newRow("7") << QStringLiteral("7") << 7u;
    QTest::newRow("1") << QStringLiteral("1") << 1u;
    QTest::newRow("1000") << QStringLiteral("1000") << 1000u;
}

void KeysTest::typedPeriodThatNamesAnItemIsChosenAndShown()
{
    QFETCH(QString, typed);
    QFETCH(uint, period);
    form->ComboBox1->SetItemIndex(15);   // "1": every row changes the period
    form->MsTimer1->SetInterval(1);
    typePeriod(typed);
    QCOMPARE(form->MsTimer1->Interval(), period);
    QCOMPARE(form->ComboBox1->lineEdit()->text(), typed);
    QCOMPARE(form->ComboBox1->currentText(), typed);
    QCOMPARE(form->ComboBox1->itemData(form->ComboBox1->ItemIndex()).toUInt(), period);
}

void KeysTest::typedTextNamingNoItemGivesWayToThePeriodInForce()
{
    typePeriod(QStringLiteral("10"));
    QCOMPARE(form->MsTimer1->Interval(), 10u);
    for (const QString &typed : {QStringLiteral("12"), QStringLiteral("x"), QString()}) {
        typePeriod(typed);
        QCOMPARE(form->MsTimer1->Interval(), 10u);
        QCOMPARE(form->ComboBox1->lineEdit()->text(), QStringLiteral("10"));
    }
    QCOMPARE(form->ComboBox1->count(), 16);
}

void KeysTest::leavingTheBoxTakesTheTypedPeriod()
{
    form->ComboBox1->setFocus(Qt::TabFocusReason);
    QLineEdit *edit = form->ComboBox1->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("30"));
    QCOMPARE(form->MsTimer1->Interval(), 1000u);   // not while typing: "3" is an item too
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form->RichEdit1);
    QCOMPARE(form->MsTimer1->Interval(), 30u);
    QCOMPARE(edit->text(), QStringLiteral("30"));
}

void KeysTest::arrowsStepThroughThePeriodsAndF4OrAltDownOpensTheList()
{
    TComboBox *box = form->ComboBox1;
    box->setFocus(Qt::TabFocusReason);
    QTest::keyClick(box, Qt::Key_Down);
    QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(form->MsTimer1->Interval(), 500u);
    QCOMPARE(box->lineEdit()->text(), QStringLiteral("500"));
    QTest::keyClick(box, Qt::Key_Up);
    QCOMPARE(form->MsTimer1->Interval(), 700u);
    QCOMPARE(box->lineEdit()->text(), QStringLiteral("700"));
    for (const auto &[key, modifiers] : {std::pair(Qt::Key_F4, Qt::NoModifier),
                                         std::pair(Qt::Key_Down, Qt::AltModifier)}) {
        QTest::keyClick(box, key, modifiers);
        QTRY_VERIFY(box->view()->isVisible());
        box->hidePopup();
        QTRY_VERIFY(!box->view()->isVisible());
    }
    QCOMPARE(form->MsTimer1->Interval(), 700u);
}

void KeysTest::focusFrameShowsFromTheFirstFrame()
{
    const QImage atStart = startButton();
    form->ComboBox1->setFocus(Qt::MouseFocusReason);
    const QImage unfocused = startButton();
    QVERIFY(atStart != unfocused);
    // Shift+Tab back: the button looks as it does after the operator's own Tab
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), form->Button1);
    QCOMPARE(startButton(), atStart);
}

QTEST_MAIN(KeysTest)
#include "test_keys.moc"
