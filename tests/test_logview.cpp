// The log control as the program and the operator use it, on the offscreen platform.
#include "logview/logview.h"
#include "logview/logtext.h"
#include "logview/logwrap.h"
#include "logview/rowlayout.h"
#include "testcycle/testcycle.h"

#include "looptest/layout.h"

#include <QtTest>

#include <QAccessible>
#include <QClipboard>
#include <QMenu>
#include <QPainter>
#include <QScreen>

using logview::LogView;
using logview::Pos;
using logview::Row;

namespace {

QString rowText(LogView &v, const Row &r)
{
    return v.textBetween(r.start, r.end);
}

QStringList shownRows(LogView &v)
{
    QStringList rows;
    for (const Row &r : v.rowsOnScreen())
        rows << rowText(v, r);
    return rows;
}

QString cycle(int n, bool withZ = true)
{
    const QString chars = QString::fromLatin1(testcycle::kChars);
    QString s;
    for (int i = 0; i < n; ++i)
        s += chars[i % (withZ ? testcycle::kLength : testcycle::kLength - 1)];
    return s;
}

} // namespace

class LogViewTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void programInsertsAtTheCaretAndReplacesTheSelection();
    void addPutsABreakAtTheEndFromAnyCaretPosition();
    void clearEmptiesTheLogAndItsHistory();
    void programEditsKeepNoUndoAndClearTheOperators();
    void longParagraphShowsAsRowsAndCopiesAsOneLine();
    void viewFollowsTheCaretThroughAParagraphLongerThanTheView();
    void typingAndDeletingAcrossAWrapPointRewrapsTheRows();
    void mouseAndKeysPlaceSelectAndEdit();
    void wheelScrollsTheViewAndTheNextInsertionBringsTheCaretBack();
    void inputMethodPreeditsAtTheCaretAndCommitsAsTyping();
    void contextMenuOffersTheUsualEdits();
    void accessibleTextReadsTheLogByRow();
    void fullLogDropsItsOldestTextAndKeepsWorking();
    void screenShowsWhatAFreshPaintShowsAfterEveryFrame_data();
    void screenShowsWhatAFreshPaintShowsAfterEveryFrame();
    void rowDrawnGlyphByGlyphLooksAsItsLayout_data();
    void rowDrawnGlyphByGlyphLooksAsItsLayout();

private:
    QWidget *window = nullptr;
    LogView *view = nullptr;
};

void LogViewTest::init()
{
    window = new QWidget;
    window->resize(Layout::form.size());
    view = new LogView(window);
    view->setGeometry(Layout::richEdit1);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    view->setFocus();
}

void LogViewTest::cleanup()
{
    delete window;
}

void LogViewTest::programInsertsAtTheCaretAndReplacesTheSelection()
{
    view->setPlainText(QStringLiteral("abcdef\nghi"));
    view->setSelection(3, 3);
    view->insertAtCaret(QStringLiteral("X"));
    view->insertAtCaret(QStringLiteral("Y"));
    QCOMPARE(view->toPlainText(), QStringLiteral("abcXYdef\nghi"));
    QCOMPARE(view->caretPosition(), Pos(5));
    view->setSelection(9, 6);   // "ef\n", caret before it
    view->insertAtCaret(QStringLiteral("Q"));
    QCOMPARE(view->toPlainText(), QStringLiteral("abcXYdQghi"));
    QCOMPARE(view->caretPosition(), Pos(7));
    QVERIFY(!view->hasSelection());
    view->insertAtCaret(QString());   // a byte 0x00 inserts nothing
    QCOMPARE(view->length(), Pos(10));
}

void LogViewTest::addPutsABreakAtTheEndFromAnyCaretPosition()
{
    view->setPlainText(QStringLiteral("one\ntwo"));
    for (Pos caret : {Pos(0), Pos(5), Pos(7)}) {
        view->setSelection(caret, caret == 7 ? 2 : caret);
        const Pos paragraphs = view->paragraphCount();
        view->appendParagraph(QString());
        QCOMPARE(view->paragraphCount(), paragraphs + 1);
        QCOMPARE(view->caretPosition(), view->length());
        QCOMPARE(view->caretParagraph(), paragraphs);
        QVERIFY(!view->hasSelection());
        view->insertAtCaret(QStringLiteral("n"));
    }
    QCOMPARE(view->toPlainText(), QStringLiteral("one\ntwo\nn\nn\nn"));
}

void LogViewTest::clearEmptiesTheLogAndItsHistory()
{
    view->setPlainText(cycle(5000));
    QTest::keyClicks(view, QStringLiteral("typed"));
    QVERIFY(view->isUndoAvailable());
    view->clear();
    QVERIFY(view->isEmpty());
    QCOMPARE(view->paragraphCount(), Pos(1));
    QCOMPARE(view->caretPosition(), Pos(0));
    QVERIFY(!view->isUndoAvailable());
    QCOMPARE(shownRows(*view), QStringList({""}));
    view->insertAtCaret(QStringLiteral("N"));
    QCOMPARE(view->toPlainText(), QStringLiteral("N"));
}

void LogViewTest::programEditsKeepNoUndoAndClearTheOperators()
{
    view->insertAtCaret(QStringLiteral("A"));
    QVERIFY(!view->isUndoAvailable());
    QTest::keyClicks(view, QStringLiteral("hello"));
    QTest::keyClick(view, Qt::Key_Backspace);
    QCOMPARE(view->toPlainText(), QStringLiteral("Ahell"));
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);   // the deletion
    QCOMPARE(view->toPlainText(), QStringLiteral("Ahello"));
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);   // the typing, as one step
    QCOMPARE(view->toPlainText(), QStringLiteral("A"));
    QVERIFY(!view->isUndoAvailable());
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(view->toPlainText(), QStringLiteral("Ahello"));
    QCOMPARE(view->caretPosition(), Pos(6));
    QVERIFY(view->isRedoAvailable());

    view->insertAtCaret(QStringLiteral("B"));   // the program writes: the history goes
    QVERIFY(!view->isUndoAvailable());
    QVERIFY(!view->isRedoAvailable());
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(view->toPlainText(), QStringLiteral("AhelloB"));
    view->appendParagraph(QString());
    QTest::keyClicks(view, QStringLiteral("x"));
    view->clear();
    QVERIFY(!view->isUndoAvailable());
}

void LogViewTest::longParagraphShowsAsRowsAndCopiesAsOneLine()
{
    const QString line = cycle(300, false);
    view->setPlainText(line);
    const QStringList rows = shownRows(*view);
    QVERIFY2(rows.size() >= 3, qPrintable(rows.join('|')));
    QCOMPARE(rows.join(QString()), line);
    for (const Row &r : view->rowsOnScreen())   // every row fits the width
        QVERIFY(view->characterRect(r.end - 1).right() < view->viewport()->width());

    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), line);
}

void LogViewTest::viewFollowsTheCaretThroughAParagraphLongerThanTheView()
{
    // one paragraph of many rows, the caret at its end: the last row is the bottom one shown
    for (int i = 0; i < 20000; ++i)
        view->insertAtCaret(cycle(35, false).mid(i % 35, 1));
    const QRect caret = view->caretRect();
    QVERIFY(caret.isValid());
    QVERIFY(caret.bottom() < view->viewport()->height());
    QVERIFY(caret.bottom() >= view->viewport()->height() - 2 * caret.height());
    const std::vector<Row> rows = view->rowsOnScreen();
    QVERIFY(rows.size() > 10);
    QVERIFY(rows.front().start > 0);

    // the operator goes to the middle and the program goes on inserting there
    view->setSelection(10000, 10000);
    QVERIFY(view->caretRect().isValid());
    for (int i = 0; i < 500; ++i)
        view->insertAtCaret(QStringLiteral("-"));
    QVERIFY(view->caretRect().isValid());
    QCOMPARE(view->textBetween(10000, 10500), QString(500, u'-'));
    QCOMPARE(view->length(), Pos(20500));

    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(view->caretPosition(), Pos(0));
    const std::vector<Row> first = view->rowsOnScreen();
    QCOMPARE(first.front().start, Pos(0));
    QTest::keyClick(view, Qt::Key_PageDown);   // a page down, the caret with it
    QVERIFY(view->rowsOnScreen().front().start >= first[first.size() - 3].start);
    QVERIFY(view->caretPosition() >= first[first.size() - 3].start);
    QVERIFY(view->caretRect().isValid());
    QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(view->caretPosition(), view->length());
    QVERIFY(view->caretRect().isValid());
}

void LogViewTest::typingAndDeletingAcrossAWrapPointRewrapsTheRows()
{
    view->setPlainText(cycle(200, false));
    const std::vector<Row> before = view->rowsOnScreen();
    QVERIFY(before.size() >= 2);
    const Pos wrapPoint = before[1].start;
    // typing in the first row pushes its last characters down to the second
    view->setSelection(5, 5);
    QTest::keyClicks(view, QStringLiteral("WWWW"));
    const std::vector<Row> typed = view->rowsOnScreen();
    QVERIFY(typed[1].start < wrapPoint + 4);
    QCOMPARE(view->textBetween(5, 9), QStringLiteral("WWWW"));

    // the rows are what a fresh control makes of the same text
    LogView fresh(window);
    fresh.setGeometry(view->geometry());
    fresh.show();
    fresh.setPlainText(view->toPlainText());
    QCOMPARE(shownRows(fresh), shownRows(*view));

    // delete back across the wrap point and forward over it: the first rows come back
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(view, Qt::Key_Backspace);
    QCOMPARE(view->rowsOnScreen()[1].start, wrapPoint);
    view->setSelection(wrapPoint - 1, wrapPoint - 1);
    QTest::keyClick(view, Qt::Key_Delete);
    QTest::keyClick(view, Qt::Key_Delete);
    fresh.setPlainText(view->toPlainText());
    QCOMPARE(shownRows(fresh), shownRows(*view));
    QCOMPARE(view->length(), Pos(198));
}

void LogViewTest::mouseAndKeysPlaceSelectAndEdit()
{
    view->setPlainText(QStringLiteral("alpha beta gamma\nsecond line"));
    QWidget *vp = view->viewport();
    const QRect b = view->characterRect(6);   // "b" of beta
    QTest::mouseClick(vp, Qt::LeftButton, {}, b.center() - QPoint(b.width() / 4, 0));
    QCOMPARE(view->caretPosition(), Pos(6));
    // drag from "b" to the end of "beta"
    QTest::mousePress(vp, Qt::LeftButton, {}, b.topLeft() + QPoint(1, b.height() / 2));
    QMouseEvent move(QEvent::MouseMove, view->characterRect(10).topLeft() + QPoint(1, 3),
                     vp->mapToGlobal(view->characterRect(10).topLeft() + QPoint(1, 3)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(vp, &move);
    QTest::mouseRelease(vp, Qt::LeftButton, {}, view->characterRect(10).topLeft() + QPoint(1, 3));
    QCOMPARE(view->selectedText(), QStringLiteral("beta"));

    QTest::mouseDClick(vp, Qt::LeftButton, {}, view->characterRect(13).center());
    QCOMPARE(view->selectedText(), QStringLiteral("gamma"));
    QTest::keyClicks(view, QStringLiteral("G"));   // typing replaces the selection
    QCOMPARE(view->toPlainText(), QStringLiteral("alpha beta G\nsecond line"));

    QTest::keyClick(view, Qt::Key_Home);
    QCOMPARE(view->caretPosition(), Pos(0));
    QTest::keyClick(view, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(view, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(view->selectedText(), QStringLiteral("al"));
    QTest::keyClick(view, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("al"));
    QTest::keyClick(view, Qt::Key_Down);
    QCOMPARE(view->caretParagraph(), Pos(1));
    QTest::keyClick(view, Qt::Key_End);
    QTest::keyClick(view, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_Return);
    for (const QString &typed : {QStringLiteral("ä"), QStringLiteral("あ")}) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, typed);
        QApplication::sendEvent(view, &key);
    }
    QCOMPARE(view->toPlainText(), QStringLiteral("pha beta G\nsecond lineal\näあ"));
    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(view->toPlainText(), QStringLiteral("ha beta G\nsecond lineal\näあ"));
    // Tab leaves the control instead of typing
    QTest::keyClick(view, Qt::Key_Tab);
    QVERIFY(!view->toPlainText().contains(u'\t'));
}

void LogViewTest::wheelScrollsTheViewAndTheNextInsertionBringsTheCaretBack()
{
    for (int i = 0; i < 100; ++i) {
        view->insertAtCaret(cycle(36));
        view->appendParagraph(QString());
    }
    const Pos bottomTop = view->rowsOnScreen().front().start;
    const Pos caret = view->caretPosition();
    QWheelEvent up(QPointF(50, 50), view->viewport()->mapToGlobal(QPointF(50, 50)), QPoint(),
                   QPoint(0, 240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &up);
    const Pos scrolledTop = view->rowsOnScreen().front().start;
    QCOMPARE(scrolledTop, bottomTop - 2 * QApplication::wheelScrollLines() * 37);
    QCOMPARE(view->caretPosition(), caret);
    QVERIFY(!view->caretRect().isValid());   // the caret is below the view now
    view->insertAtCaret(QStringLiteral("0"));
    QVERIFY(view->caretRect().isValid());
    QCOMPARE(view->rowsOnScreen().front().start, bottomTop);
}

void LogViewTest::inputMethodPreeditsAtTheCaretAndCommitsAsTyping()
{
    view->setPlainText(QStringLiteral("log:"));
    view->setSelection(4, 4);
    QInputMethodEvent preedit(QStringLiteral("にほん"), {});
    QApplication::sendEvent(view, &preedit);
    QCOMPARE(view->toPlainText(), QStringLiteral("log:"));   // pre-edit is shown, not kept
    view->insertAtCaret(QStringLiteral("7"));                   // the program goes on meanwhile
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("日本"));
    QApplication::sendEvent(view, &commit);
    QCOMPARE(view->toPlainText(), QStringLiteral("log:7日本"));
    QCOMPARE(view->inputMethodQuery(Qt::ImSurroundingText).toString(), QStringLiteral("log:7日本"));
    QCOMPARE(view->inputMethodQuery(Qt::ImCursorPosition).toInt(), 7);
    QVERIFY(view->inputMethodQuery(Qt::ImCursorRectangle).toRect().isValid());
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(view->toPlainText(), QStringLiteral("log:7"));
}

void LogViewTest::contextMenuOffersTheUsualEdits()
{
    view->setPlainText(QStringLiteral("text"));
    view->setSelection(0, 2);
    QStringList actions;
    QTimer::singleShot(0, this, [&] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            for (QAction *a : menu->actions())
                if (!a->isSeparator())
                    actions << a->text().remove(u'&') + (a->isEnabled() ? "+" : "-");
            menu->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                            view->viewport()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(view->viewport(), &event);
    QCOMPARE(actions.mid(0, 4), QStringList({"Undo-", "Redo-", "Cut+", "Copy+"}));
    QCOMPARE(actions.mid(5), QStringList({"Delete+", "Select All+"}));
}

void LogViewTest::accessibleTextReadsTheLogByRow()
{
    view->setPlainText(cycle(300, false) + QStringLiteral("\nend"));
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(view);
    QVERIFY(a);
    QCOMPARE(a->role(), QAccessible::EditableText);
    QAccessibleTextInterface *t = a->textInterface();
    QVERIFY(t);
    QCOMPARE(t->characterCount(), 304);
    QCOMPARE(t->text(300, 304), QStringLiteral("\nend"));
    const Row second = view->rowsOnScreen()[1];
    int start = -1, end = -1;
    QCOMPARE(t->textAtOffset(int(second.start) + 2, QAccessible::LineBoundary, &start, &end),
             rowText(*view, second));
    QCOMPARE(start, int(second.start));
    QCOMPARE(t->textAtOffset(302, QAccessible::ParagraphBoundary, &start, &end),
             QStringLiteral("end"));
    t->setSelection(0, 1, 3);
    QCOMPARE(view->selectedText(), QStringLiteral("12"));
    QVERIFY(t->characterRect(1).isValid());
    QCOMPARE(t->offsetAtPoint(t->characterRect(5).topLeft() + QPoint(1, 2)), 5);
}

void LogViewTest::fullLogDropsItsOldestTextAndKeepsWorking()
{
    LogView small(window, 1000);
    small.setGeometry(view->geometry());
    small.show();
    QTest::keyClicks(&small, QStringLiteral("operator"));
    QVERIFY(small.isUndoAvailable());
    QString all;
    for (int i = 0; i < 100; ++i) {   // 3700 characters through a log of 1000
        for (QChar c : cycle(36)) {
            small.insertAtCaret(c);
            all += c;
        }
        small.appendParagraph(QString());
        all += u'\n';
        QVERIFY(small.length() <= 1000);
    }
    QVERIFY(small.length() > 900);
    // what is left is the newest text, from the start of a line, and the caret is at its end
    QVERIFY(all.endsWith(small.toPlainText()));
    QVERIFY(small.toPlainText().startsWith(u'0'));
    QCOMPARE(small.caretPosition(), small.length());
    QVERIFY(small.caretRect().isValid());
    QVERIFY(!small.isUndoAvailable());

    // the operator's paste larger than the whole log keeps its end
    QGuiApplication::clipboard()->setText(QString(1500, u'x') + QStringLiteral("tail"));
    QTest::keyClick(&small, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(small.length(), Pos(1000));
    QVERIFY(small.toPlainText().endsWith(QStringLiteral("xxxtail")));
    QVERIFY(!small.isUndoAvailable());
    small.insertAtCaret(QStringLiteral("0"));
    QVERIFY(small.length() <= 1000);
    QVERIFY(small.toPlainText().endsWith(QStringLiteral("tail0")));
}

void LogViewTest::screenShowsWhatAFreshPaintShowsAfterEveryFrame_data()
{
    QTest::addColumn<bool>("deferred");
    QTest::newRow("each edit's screen work at once") << false;
    QTest::newRow("the program's edits shown once a frame") << true;
}

// Each frame repaints only what changed and moves what scrolled: what is on the screen must be
// what painting the whole log afresh gives, frame after frame, also where the program's edits
// between two frames left their screen work to the frame.
void LogViewTest::screenShowsWhatAFreshPaintShowsAfterEveryFrame()
{
    QFETCH(bool, deferred);
    view->setScreenDeferred(deferred);
    QApplication::setCursorFlashTime(0);   // a caret that stays on, so both pictures have it
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    view->clearFocus();   // stops the blinking that started with the focus
    view->setFocus();
    QVERIFY(view->hasFocus());
    int frames = 0;
    QString failure;
    const auto frame = [&](const char *step) {
        view->showEdits();
        QApplication::processEvents();
        ++frames;
        const QPoint at = view->viewport()->mapTo(window, QPoint(0, 0));
        const QSize size = view->viewport()->size();
        const QImage shown = window->screen()
                                 ->grabWindow(window->winId(), at.x(), at.y(), size.width(),
                                              size.height())
                                 .toImage()
                                 .convertToFormat(QImage::Format_RGB32);
        const QImage fresh = view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        if (failure.isEmpty() && shown != fresh)
            failure = QStringLiteral("frame %1 (%2) differs").arg(frames).arg(QLatin1String(step));
    };
    const QString chars = cycle(36);
    // rows of differing lengths fill the view and then scroll, a frame every few bytes
    for (int i = 0, column = 0, row = 0; i < 2000; ++i) {
        if (column == 20 + row % 17) {
            view->appendParagraph(QString());
            column = 0;
            ++row;
        } else {
            view->insertAtCaret(chars.mid(i % 36, 1));
            ++column;
        }
        if (i % 5 == 4)
            frame("appending");
    }
    // words that grow past the edge move to the next row, and the row above gets shorter
    view->appendParagraph(QString());
    for (int i = 0; i < 600; ++i) {
        view->insertAtCaret(i % (3 + i / 40 % 9) == 0 ? QStringLiteral(" ") : chars.mid(i % 36, 1));
        if (i % 3 == 2)
            frame("words wrapping");
    }
    view->insertAtCaret(QString(QChar(0x3000)) + QStringLiteral("\x01"));
    frame("a box byte");
    for (int key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Left, Qt::Key_End}) {
        QTest::keyClick(view, Qt::Key(key));
        frame("the caret moved by a key");
    }
    const auto wheel = [&](int notches) {
        QWheelEvent e(QPointF(50, 50), view->viewport()->mapToGlobal(QPointF(50, 50)), QPoint(),
                      QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                      false);
        QApplication::sendEvent(view->viewport(), &e);
    };
    wheel(2);
    frame("wheel up");
    wheel(-1);   // down again: what stays on screen moves, the caret with it
    frame("wheel down");
    QTest::keyClick(view, Qt::Key_Left);
    frame("the caret moved after a scroll");
    wheel(1);
    frame("wheel up");
    view->insertAtCaret(QStringLiteral("A"));   // brings the caret back into view
    frame("back to the caret");
    const Pos end = view->length();
    view->setSelection(end - 50, end - 3);
    frame("selection");
    view->setSelection(end - 10, end - 10);
    frame("selection cleared");
    view->insertAtCaret(QStringLiteral("XYZ"));   // inside the last rows, which rewrap
    frame("inserted inside");
    view->clearFocus();
    frame("focus gone");
    for (int i = 0; i < 80; ++i) {
        view->appendParagraph(chars.left(i % 36));
        if (i % 3 == 2)
            frame("whole lines");
    }
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void LogViewTest::rowDrawnGlyphByGlyphLooksAsItsLayout_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("text");
    const QString ipa = QStringLiteral("IPAPGothic"), kerned = QStringLiteral("DejaVu Sans");
    QTest::newRow("the test cycle") << ipa << cycle(36);
    QTest::newRow("spaces, inside and at the end") << ipa << QStringLiteral("AB  C D ij  ");
    // received bytes no font shows stand as the hex box's placeholder
    QTest::newRow("katakana and boxes") << ipa << QStringLiteral("ｱｲ\u3000ｳｶﾊA\u3000");
    QTest::newRow("katakana with sound marks") << ipa << QStringLiteral("ｶﾞﾊﾟ");
    QTest::newRow("a tab") << ipa << QStringLiteral("AB\tC");
    QTest::newRow("a mark") << ipa << QStringLiteral("e\u0301x");
    QTest::newRow("right-to-left") << ipa << QStringLiteral("ab \u05d0\u05d1 c");
    QTest::newRow("a kerning face") << kerned << QStringLiteral("AVAWA To ffl");
}

// A row of characters the font shapes one by one is drawn from each one's glyph: the pixels,
// also of a part of the row, and where each character starts must be its layout's.
void LogViewTest::rowDrawnGlyphByGlyphLooksAsItsLayout()
{
    QFETCH(QString, family);
    QFETCH(QString, text);
    QFont face;
    face.setFamilies({family});
    face.setPixelSize(12);
    logview::RowLayouts layouts;
    layouts.beginFrame();
    const logview::ShapedRow &row = layouts.rowFor(text, face);
    QTextLayout *layout = layouts.layoutFor(text, face);
    const QPointF origin(4, 3);
    for (const QRectF clip : {QRectF(0, 0, 400, 20), QRectF(37, 0, 400, 20), QRectF(0, 0, 37, 20)}) {
        QImage drawn(400, 20, QImage::Format_RGB32), laidOut(drawn.size(), drawn.format());
        for (QImage *image : {&drawn, &laidOut}) {
            image->fill(Qt::white);
            QPainter p(image);
            p.setClipRect(clip);
            if (image == &drawn)
                row.draw(p, origin, clip, 12);
            else
                layout->draw(&p, origin, {}, clip);
        }
        QVERIFY2(drawn == laidOut, qPrintable(QStringLiteral("clip from x %1").arg(clip.left())));
    }
    for (int i = 0; i <= text.size(); ++i)
        QCOMPARE(row.cursorToX(i), layout->lineAt(0).cursorToX(i));
}

QTEST_MAIN(LogViewTest)
#include "test_logview.moc"
