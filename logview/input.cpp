// The operator's input: keys, mouse, wheel, context menu, focus, timers and input methods.
#include "logview/logview.h"
#include "logview/logviewstate.h"

#include "logview/words.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethod>
#include <QKeyEvent>
#include <QMenu>
#include <QTextCharFormat>

#include <algorithm>
#include <cstdlib>

namespace logview {

namespace {

// The text an input method sees around the caret.
constexpr Pos kSurroundingReach = 1024;

} // namespace

bool LogView::event(QEvent *e)
{
    if (e->type() != QEvent::Paint)
        showEdits();
    if (e->type() == QEvent::ShortcutOverride) {
        // keys this field uses are not taken by shortcuts elsewhere in the window
        auto *k = static_cast<QKeyEvent *>(e);
        static const QKeySequence::StandardKey used[] = {
            QKeySequence::Copy,       QKeySequence::Cut,         QKeySequence::Paste,
            QKeySequence::Undo,       QKeySequence::Redo,        QKeySequence::SelectAll,
            QKeySequence::Delete,     QKeySequence::Backspace,   QKeySequence::MoveToStartOfLine,
            QKeySequence::MoveToEndOfLine, QKeySequence::MoveToStartOfDocument,
            QKeySequence::MoveToEndOfDocument, QKeySequence::MoveToNextWord,
            QKeySequence::MoveToPreviousWord, QKeySequence::DeleteStartOfWord,
            QKeySequence::DeleteEndOfWord};
        for (QKeySequence::StandardKey key : used)
            if (k->matches(key)) {
                e->accept();
                return true;
            }
        if (!k->text().isEmpty() && k->text().at(0).isPrint() &&
            !(k->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
            e->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(e);
}

bool LogView::viewportEvent(QEvent *e)
{
    if (e->type() != QEvent::Paint)
        showEdits();
    return QAbstractScrollArea::viewportEvent(e);
}

namespace {

enum Motion { Left, Right, WordLeft, WordRight, Up, Down, RowStart, RowEnd, ParaStart, ParaEnd,
              DocStart, DocEnd, PageUp, PageDown };

// Each caret motion with its key and the key that extends the selection the same way.
const struct {
    QKeySequence::StandardKey move, select;
    Motion motion;
} kMotions[] = {
    {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, Right},
    {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, Left},
    {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, WordRight},
    {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, WordLeft},
    {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, Down},
    {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, Up},
    {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, RowStart},
    {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, RowEnd},
    {QKeySequence::MoveToStartOfBlock, QKeySequence::SelectStartOfBlock, ParaStart},
    {QKeySequence::MoveToEndOfBlock, QKeySequence::SelectEndOfBlock, ParaEnd},
    {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, DocStart},
    {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, DocEnd},
    {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, PageDown},
    {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, PageUp},
};

// The keys that run one of the widget's commands.
const struct {
    QKeySequence::StandardKey key;
    void (LogView::*command)();
} kCommands[] = {
    {QKeySequence::SelectAll, &LogView::selectAll}, {QKeySequence::Copy, &LogView::copy},
    {QKeySequence::Cut, &LogView::cut},             {QKeySequence::Paste, &LogView::paste},
    {QKeySequence::Undo, &LogView::undo},           {QKeySequence::Redo, &LogView::redo},
};

bool isTyped(const QKeyEvent *e)
{
    const QString t = e->text();
    return !t.isEmpty() && t.at(0).isPrint() &&
           !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

} // namespace

void LogView::keyPressEvent(QKeyEvent *e)
{
    if ((e->key() == Qt::Key_Up || e->key() == Qt::Key_Down) &&
        e->modifiers() == Qt::ControlModifier) {
        scrollRows(e->key() == Qt::Key_Up ? -1 : 1);   // the view moves, the caret stays
        return;
    }
    if (moveByKey(e))
        return;
    for (const auto &c : kCommands)
        if (e->matches(c.key)) {
            (this->*c.command)();
            return;
        }

    const Pos from = std::min(caret, anchor), to = std::max(caret, anchor);
    if (e->matches(QKeySequence::Backspace) || e->key() == Qt::Key_Backspace) {
        if (hasSelection() || caret > 0)
            eraseSelectionOr(caret - 1, caret, EditKind::Backspace);
    } else if (e->matches(QKeySequence::Delete)) {
        if (hasSelection() || caret < d->store.size())
            eraseSelectionOr(caret, caret + 1, EditKind::Delete);
    } else if (e->matches(QKeySequence::DeleteStartOfWord)) {
        eraseSelectionOr(wordStart(d->store, caret), caret, EditKind::Other);
    } else if (e->matches(QKeySequence::DeleteEndOfWord)) {
        eraseSelectionOr(caret, wordEnd(d->store, caret), EditKind::Other);
    } else if (e->matches(QKeySequence::InsertParagraphSeparator) ||
               e->matches(QKeySequence::InsertLineSeparator)) {
        operatorEdit(from, to, QStringLiteral("\n"), EditKind::Other);
    } else if (isTyped(e)) {
        operatorEdit(from, to, e->text(), EditKind::Typing);
    } else {
        e->ignore();
    }
}

void LogView::eraseSelectionOr(Pos from, Pos to, EditKind kind)
{
    if (hasSelection())
        deleteSelection();
    else
        operatorEdit(from, to, QString(), kind);
}

bool LogView::moveByKey(QKeyEvent *e)
{
    for (const auto &m : kMotions) {
        const bool select = e->matches(m.select);
        if (!select && !e->matches(m.move))
            continue;
        const bool page = m.motion == PageUp || m.motion == PageDown;
        if (page || m.motion == Up || m.motion == Down) {
            moveByRows(m.motion == Up || m.motion == PageUp, page, select);
            return true;
        }
        bool atEnd = false;
        Pos to = caret;
        switch (m.motion) {
        case Left: to = !select && hasSelection() ? std::min(caret, anchor) : caret - 1; break;
        case Right: to = !select && hasSelection() ? std::max(caret, anchor) : caret + 1; break;
        case WordLeft: to = wordStart(d->store, caret); break;
        case WordRight: to = wordEnd(d->store, caret); break;
        case RowStart: to = caretRow().start; break;
        case RowEnd: {
            const Row r = caretRow();
            to = r.end;
            atEnd = !r.endsParagraph;
            break;
        }
        case ParaStart: to = d->store.paragraphStart(caret); break;
        case ParaEnd: to = d->store.paragraphEnd(caret); break;
        case DocStart: to = 0; break;
        case DocEnd: to = d->store.size(); break;
        default: break;
        }
        goalX = -1;
        moveCaret(to, select, atEnd);
        return true;
    }
    return false;
}

void LogView::moveByRows(bool up, bool page, bool select)
{
    const qreal x = goalX >= 0 ? goalX : caretX(caretRow());
    const int n = page ? fullRows() : 1;
    Row r = caretRow();
    int moved = 0;
    for (; moved < n; ++moved) {
        const Pos s = up ? d->wrap.previousRowStart(r.start) : r.next;
        if (s < 0)
            break;
        r = d->wrap.rowFrom(s);
    }
    if (moved == 0)
        return;
    if (page)
        scrollRows(up ? -moved : moved);
    bool atEnd = false;
    const Pos to = rowPositionAtX(r, x, &atEnd);
    moveCaret(to, select, atEnd);
    goalX = x;
}

void LogView::mousePressEvent(QMouseEvent *e)
{
    const QPoint at = e->position().toPoint();
    if (e->button() == Qt::LeftButton) {
        const Pos pos = positionAt(at);
        moveCaret(pos, e->modifiers() & Qt::ShiftModifier, caretAtRowEnd);
        goalX = -1;
        dragging = true;
        dragPoint = at;
        return;
    }
    if (e->button() == Qt::MiddleButton && QGuiApplication::clipboard()->supportsSelection()) {
        const QString t = QGuiApplication::clipboard()->text(QClipboard::Selection);
        const Pos pos = positionAt(at);
        if (!t.isEmpty()) {
            moveCaret(pos, false, caretAtRowEnd);
            operatorEdit(pos, pos, t, EditKind::Other);
        }
        return;
    }
    e->ignore();
}

void LogView::mouseMoveEvent(QMouseEvent *e)
{
    if (!dragging || !(e->buttons() & Qt::LeftButton))
        return;
    dragPoint = e->position().toPoint();
    const bool outside = dragPoint.y() < 0 || dragPoint.y() >= viewport()->height();
    if (outside && !dragTimer.isActive())
        dragTimer.start(50, this);
    else if (!outside)
        dragTimer.stop();
    const Pos pos = positionAt(dragPoint);
    moveCaret(pos, true, caretAtRowEnd);
}

void LogView::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton && dragging) {
        dragging = false;
        dragTimer.stop();
        selectionChanged();
    }
}

void LogView::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    const Pos pos = positionAt(e->position().toPoint());
    const auto [from, to] = wordAt(d->store, pos);
    anchor = from;
    caret = to;
    caretAtRowEnd = false;
    ensureCaretVisible();
    caretMoved();
    selectionChanged();
    dragging = false;
}

void LogView::wheelEvent(QWheelEvent *e)
{
    wheelRemainder += e->angleDelta().y();
    const int notches = wheelRemainder / 120;
    wheelRemainder -= notches * 120;
    if (notches)
        scrollRows(-notches * QApplication::wheelScrollLines());
    e->accept();
}

void LogView::contextMenuEvent(QContextMenuEvent *e)
{
    QMenu menu(this);
    auto add = [&](const char *text, QKeySequence::StandardKey key, bool enabled, auto slot) {
        QAction *a = menu.addAction(QCoreApplication::translate("QWidgetTextControl", text));
        a->setShortcut(key);
        a->setEnabled(enabled);
        connect(a, &QAction::triggered, this, slot);
    };
    const bool selected = hasSelection();
    add("&Undo", QKeySequence::Undo, isUndoAvailable(), &LogView::undo);
    add("&Redo", QKeySequence::Redo, isRedoAvailable(), &LogView::redo);
    menu.addSeparator();
    add("Cu&t", QKeySequence::Cut, selected, &LogView::cut);
    add("&Copy", QKeySequence::Copy, selected, &LogView::copy);
    add("&Paste", QKeySequence::Paste, !QGuiApplication::clipboard()->text().isEmpty(),
        &LogView::paste);
    add("Delete", QKeySequence::Delete, selected, &LogView::deleteSelection);
    menu.addSeparator();
    add("Select All", QKeySequence::SelectAll, !isEmpty(), &LogView::selectAll);
    menu.exec(e->globalPos());
}

void LogView::focusInEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusInEvent(e);
    caretMoved(false);   // the screen reader hears of the focus first, and reads the line then
}

void LogView::focusOutEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusOutEvent(e);
    blinkTimer.stop();
    viewport()->update();
}

void LogView::timerEvent(QTimerEvent *e)
{
    if (e->timerId() == blinkTimer.timerId()) {
        caretOn = !caretOn;
        viewport()->update(caretRect().adjusted(-1, 0, 1, 0));
    } else if (e->timerId() == announceTimer.timerId()) {
        tellCollected();
    } else if (e->timerId() == dragTimer.timerId()) {
        scrollRows(dragPoint.y() < 0 ? -1 : 1);
        const Pos pos = positionAt(dragPoint);
        caret = pos;
        caretMoved();
    } else {
        QAbstractScrollArea::timerEvent(e);
    }
}

void LogView::inputMethodEvent(QInputMethodEvent *e)
{
    if (!e->commitString().isEmpty() || e->replacementLength() > 0) {
        Pos from = std::min(caret, anchor), to = std::max(caret, anchor);
        if (e->replacementLength() > 0 || e->replacementStart() != 0) {
            from = std::clamp<Pos>(caret + e->replacementStart(), 0, d->store.size());
            to = std::clamp<Pos>(from + e->replacementLength(), from, d->store.size());
        }
        operatorEdit(from, to, e->commitString(), EditKind::Typing);
    }
    preedit = e->preeditString();
    preeditCursor = int(preedit.size());
    preeditCursorShown = true;
    d->preeditFormats.clear();
    for (const QInputMethodEvent::Attribute &a : e->attributes()) {
        if (a.type == QInputMethodEvent::Cursor) {
            preeditCursor = a.start;
            preeditCursorShown = a.length != 0;
        } else if (a.type == QInputMethodEvent::TextFormat) {
            const QTextCharFormat f = qvariant_cast<QTextFormat>(a.value).toCharFormat();
            if (f.isValid())
                d->preeditFormats.append({a.start, a.length, f});
        }
    }
    viewport()->update();
    e->accept();
}

QVariant LogView::inputMethodQuery(Qt::InputMethodQuery query) const
{
    auto *self = const_cast<LogView *>(this);
    const Pos start = std::max(d->store.paragraphStart(caret), caret - kSurroundingReach);
    const Pos end = std::min(d->store.paragraphEnd(caret), caret + kSurroundingReach);
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImCursorRectangle:
    case Qt::ImAnchorRectangle:
        return self->caretRect().translated(viewport()->pos());
    case Qt::ImFont:
        return font();
    case Qt::ImSurroundingText:
        return textBetween(start, end);
    case Qt::ImCursorPosition:
        return int(textBetween(start, caret).size());
    case Qt::ImAnchorPosition:
        return int(textBetween(start, std::clamp(anchor, start, end)).size());
    case Qt::ImCurrentSelection:
        return std::abs(caret - anchor) <= kSurroundingReach ? selectedText() : QString();
    case Qt::ImTextBeforeCursor:
        return textBetween(start, caret);
    case Qt::ImTextAfterCursor:
        return textBetween(caret, end);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

} // namespace logview
