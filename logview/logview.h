// The log control: an editable, wrapping text view over LogText whose cost per insertion does
// not grow with the log. It looks like a plain text field (frame, margins, font, colours,
// caret) without scroll bars; only the rows on screen are shaped and painted.
//
// Two kinds of edit: the program's (insertAtCaret, appendParagraph, setPlainText, clear) keep
// no undo history, clear the operator's and bring the caret into view; the operator's (typing,
// deleting, pasting, input methods) can be undone and redone.
//
// One concern a file: rows and scrolling in logview.cpp (the text, rows, layouts and history
// it keeps in logviewstate.h, behind this header), edits, caret and selection in editing.cpp,
// the operator's input in input.cpp, painting in paint.cpp, the clipboard in clipboard.cpp, and
// for assistive technology the spoken text (spoken.h), the accessible interface over it
// (accessible.cpp) and what the log tells of its edits (announce.cpp).
#pragma once

#include "logview/cells.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace logview {

class LogText;
struct Row;
struct ScreenWork;
enum class EditKind;

class LogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit LogView(QWidget *parent = nullptr);   // holds LogText::kDefaultCapacity
    LogView(QWidget *parent, Pos capacity);
    ~LogView() override;

    const LogText &text() const;
    Pos capacity() const;
    Pos length() const;
    bool isEmpty() const { return length() == 0; }
    Pos paragraphCount() const;
    QString toPlainText() const { return textBetween(0, length()); }
    QString textBetween(Pos from, Pos to) const;

    Pos caretPosition() const { return caret; }
    Pos anchorPosition() const { return anchor; }
    Pos caretParagraph() const;
    bool hasSelection() const { return caret != anchor; }
    QString selectedText() const;
    // Selects from `anchor` to `caret` (no selection when equal) and brings the caret into view.
    void setSelection(Pos anchor, Pos caret);
    // Replaces [from, to) as the operator's own edit would: it can be undone.
    void editText(Pos from, Pos to, const QString &text);

    bool isUndoAvailable() const;
    bool isRedoAvailable() const;

    // The program's edits.
    void insertAtCaret(const QString &text);     // replaces the selection; the caret moves on
    void appendParagraph(const QString &text);   // a break and `text` at the end; caret there
    void setPlainText(const QString &text);      // caret at the start
    void clear();

    // While on, insertAtCaret and appendParagraph keep the text, the caret and the rows in step
    // but leave what only the screen needs (update requests, scrolling to the caret, the
    // caret's rectangle and blink) to showEdits(), which the owner calls once a frame; anything
    // that looks at the screen or the caret's place first catches up. Off by default.
    void setScreenDeferred(bool on);
    void showEdits();

    // What is on screen, for tests and assistive technology: the rows from the top, with
    // where each starts and ends, and the caret's rectangle in the viewport.
    std::vector<Row> rowsOnScreen();
    QRect caretRect();
    // The rectangle of the character at `pos` in the viewport; empty when it is not on screen.
    QRect characterRect(Pos pos);
    Row rowAtPosition(Pos pos);
    // The position under a point of the viewport.
    Pos positionAt(QPoint point);
    // Scrolls so that [from, to) is on screen as far as it fits.
    void showRange(Pos from, Pos to);
    // Where the text assistive technology is given starts (spoken.cpp): 0, unless the log
    // holds more spoken characters than an int counts; then about 1.5 Gi of them before the end.
    Pos spokenStart();

public slots:
    void undo();
    void redo();
    void cut();
    void copy();
    void paste();
    void selectAll();

protected:
    bool event(QEvent *e) override;
    bool viewportEvent(QEvent *e) override;
    void paintEvent(QPaintEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void changeEvent(QEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void wheelEvent(QWheelEvent *e) override;
    void contextMenuEvent(QContextMenuEvent *e) override;
    void focusInEvent(QFocusEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;
    void timerEvent(QTimerEvent *e) override;
    void inputMethodEvent(QInputMethodEvent *e) override;

public:
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

private:
    // Replaces [from, to) with `chars`, keeping the rows, the view and every position in step;
    // returns where the new text starts (earlier when a full log discarded its oldest text).
    Pos replace(Pos from, Pos to, std::u32string_view chars);
    void programEdit(Pos from, Pos to, std::u32string_view chars, bool deferrable = false);
    // Notes what the program's edit at `from` (atEnd: text added at the log's end) leaves for
    // showEdits(): the rows from the one starting at `rowStart` (all: every row).
    void deferEdit(Pos from, bool atEnd, Pos rowStart, bool all);
    // Draws anew, after the deferred edits, what they changed: the rows from the first one that
    // differs from what the screen shows, and of an edit at the end only what follows it.
    void repaintDeferred(const ScreenWork &work);
    void operatorEdit(Pos from, Pos to, const QString &text, EditKind kind);
    void applyEdit(Pos at, Pos length, const std::u32string &chars, Pos caretAfter,
                   Pos anchorAfter);
    void moveCaret(Pos to, bool keepAnchor, bool atRowEnd = false);
    // Shows the caret where it now is; `tell`: assistive technology hears of it too (the
    // program's insertions and taking the focus move no caret of the screen reader's).
    void caretMoved(bool tell = true);
    void selectionChanged();
    void deleteSelection();
    // The selection goes when there is one, otherwise [from, to): an erasing key.
    void eraseSelectionOr(Pos from, Pos to, EditKind kind);
    bool moveByKey(QKeyEvent *e);   // false when `e` is no caret motion
    void moveByRows(bool up, bool page, bool select);

    void updateMetrics();
    double topMargin() const { return top == 0 ? margin : 0; }
    int fullRows() const;
    // Rows on screen, computed from the top as far as needed to hold `pos` (or the bottom).
    const std::vector<Row> &screenRows(Pos through = -1);
    // Index in `rs` (rows from the top) of the row the caret shows on, or -1.
    int caretRowIndex(const std::vector<Row> &rs) const;
    // Returns the index of the row holding `at`; `kept` gets where the first forgotten row
    // starts, and `work` the forgotten rows above the one holding `at`.
    std::size_t forgetRowsFrom(Pos at, Pos *kept = nullptr, ScreenWork *work = nullptr);
    // Marks the screen from row `index` (of the rows from the top) to the bottom for repainting.
    void repaintRowsFrom(std::size_t index);
    void setTop(Pos rowStart);
    void scrollRows(int n);
    void ensureCaretVisible();
    Row caretRow();
    Pos rowPositionAtX(const Row &row, qreal x, bool *atRowEnd);
    qreal caretX(const Row &row);
    void paintRow(QPainter &p, const Row &row, qreal y, const QRect &clip, bool caretHere);

    // Assistive technology hears of every edit in spoken offsets (announce.cpp): what an edit
    // removes is taken before it, the event sent after it. The program's insertions at the end
    // of those before are collected and told at most every kAnnouncementInterval; anything else
    // first tells what was collected.
    struct Removal {
        bool told = false;   // false: too large to tell, or no one listens
        QString text;
    };
    Removal removedForAnnouncement(Pos from, Pos to);
    void announceEdit(Pos at, const Removal &removed, Pos insertedLength);
    bool collectsInsertion(Pos at, Pos length) const;
    void collectInsertion(Pos at, Pos length);
    void tellCollected();
    void tellCaret(bool moved);

    // the text, its rows, their layouts and the edit history (logview/logviewstate.h)
    struct State;
    std::unique_ptr<State> d;
    Pos caret = 0;
    Pos anchor = 0;
    bool caretAtRowEnd = false;   // a caret where a row wraps is shown at that row's end
    qreal goalX = -1;             // where up/down movement aims
    Pos top = 0;                  // start of the first row on screen
    std::vector<Row> rows;        // rows on screen from the top, as far as computed

    qreal margin = 4;
    int rowHeight = 13;

    bool deferScreen = false;     // see setScreenDeferred()
    bool deferring = false;       // the edit under way leaves its screen work to showEdits()
    bool painting = false;

    QString preedit;
    int preeditCursor = 0;
    bool preeditCursorShown = true;

    Pos spokenFrom = 0;           // see spokenStart()
    Pos collectedFrom = 0;        // the program's insertions not told yet
    Pos collectedLength = 0;
    bool toldSelection = false;
    QBasicTimer announceTimer;
    QElapsedTimer sinceTold;

    QBasicTimer blinkTimer, dragTimer;
    bool caretOn = true;
    QRect caretShown;             // where a caret was last painted, moved as the view scrolls
    bool selectionShown = false;  // whether the last frame's marking included a selection
    bool dragging = false;
    QPoint dragPoint;
    int wheelRemainder = 0;
};

} // namespace logview
