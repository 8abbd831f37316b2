// Edits, the program's and the operator's, with undo and redo; the caret and the selection.
#include "logview/logview.h"
#include "logview/logviewstate.h"

#include "logview/chars.h"

#include <QGuiApplication>
#include <QInputMethod>
#include <QStyleHints>

#include <algorithm>

namespace logview {

namespace {

// An edit that removes more than this cannot be undone: its history would cost four bytes a
// character removed.
constexpr Pos kUndoableRemoval = Pos(16) << 20;

} // namespace

// --- editing -------------------------------------------------------------------------------------

Pos LogView::replace(Pos from, Pos to, std::u32string_view chars)
{
    from = std::clamp<Pos>(from, 0, d->store.size());
    to = std::clamp<Pos>(to, from, d->store.size());
    if (Pos(chars.size()) > d->store.capacity())
        chars = chars.substr(chars.size() - std::size_t(d->store.capacity()));

    // an edit in the top two rows may change where the row above the screen wraps
    const bool hadMargin = topMargin() > 0;
    const bool atEnd = from == to && to == d->store.size();
    // the first edit a frame defers keeps the rows above it as the screen shows them; text
    // added at the end after the frame's earlier additions there changes no row they left
    const bool first = deferring && !d->deferred.any();
    const bool forgotten = deferring && !first && d->deferred.appended && atEnd;
    Pos kept = forgotten ? d->deferred.from : top;
    const std::size_t k =
        forgotten ? rows.size() : forgetRowsFrom(from, &kept, first ? &d->deferred : nullptr);
    bool snapTop =
        from < top || (!forgotten && k < 2 && top > 0 && d->store.at(top - 1) != U'\n');

    if (to > from) {
        d->store.erase(from, to);
        d->wrap.edited(from, to - from, 0);
        const Pos removed = to - from;
        for (Pos *p : {&caret, &anchor, &top, &spokenFrom})
            *p = *p >= to ? *p - removed : std::min(*p, from);
    }
    const Pos n = Pos(chars.size());
    if (const Pos dropped = d->store.makeRoom(n)) {
        d->wrap.edited(0, dropped, 0);
        for (Pos *p : {&caret, &anchor, &top, &from, &spokenFrom})
            *p = std::max<Pos>(0, *p - dropped);
        rows.clear();
        snapTop = true;
        d->history.clear();   // what the history points at has gone
    }
    if (n > 0) {
        d->store.insert(from, chars);
        d->wrap.edited(from, 0, n);
        for (Pos *p : {&caret, &anchor})
            if (*p > from)
                *p += n;
        for (Pos *p : {&top, &spokenFrom})
            if (*p > from)
                *p += n;
    }
    if (snapTop) {
        rows.clear();
        top = top == 0 ? 0 : d->wrap.rowAt(top).start;
    }
    const bool all = snapTop || hadMargin != (topMargin() > 0);
    if (deferring)
        deferEdit(from, atEnd, kept, all);
    else if (all)
        viewport()->update();
    else
        repaintRowsFrom(k >= 2 ? k - 2 : 0);   // the rows kept above are as they were
    return from;
}

void LogView::deferEdit(Pos from, bool atEnd, Pos rowStart, bool all)
{
    ScreenWork &w = d->deferred;
    w.appended = w.appended && atEnd && !all;
    w.all = w.all || all;
    w.from = w.from < 0 ? rowStart : std::min(w.from, rowStart);
    w.edit = w.edit < 0 ? from : std::min(w.edit, from);
    w.caret = true;
}

void LogView::setScreenDeferred(bool on)
{
    if (!on)
        showEdits();
    deferScreen = on;
}

void LogView::showEdits()
{
    if (painting || !d->deferred.any())
        return;
    const ScreenWork work = d->deferred;
    d->deferred = ScreenWork();
    // scrolling first moves what stays on screen; what changed is drawn after it
    if (work.caret)
        ensureCaretVisible();
    if (work.all)
        viewport()->update();
    else if (work.from >= 0)
        repaintDeferred(work);
    if (work.caret)
        caretMoved(false);
}

void LogView::repaintDeferred(const ScreenWork &work)
{
    const std::vector<Row> &rs = screenRows();
    std::size_t i = 0;
    while (work.from > top && i < rs.size() && rs[i].start < work.from)
        ++i;
    // the rows above the edit's that wrap as they did are as shown
    std::size_t same = 0;
    for (; same < work.aboveCount && i < rs.size(); ++same, ++i) {
        const Row &was = work.above[same], &is = rs[i];
        if (is.start != was.start || is.end != was.end || is.next != was.next ||
            is.endsParagraph != was.endsParagraph)
            break;
    }
    if (i >= rs.size())
        return;
    if (!work.appended) {
        repaintRowsFrom(i);
        return;
    }
    // text added at the end moves nothing before it: of the row that held the log's end, what
    // lies between the character before the first that changed (added, or gone to the next row)
    // and the farther of the old and new ends is drawn, widened by a character each side, as
    // the wrap's advances place them; after it, only the rows that hold text
    const Row &r = rs[i];
    const int y = int(std::floor(topMargin() + qreal(i) * rowHeight));
    int left = 0, right = viewport()->width();
    if (same == work.aboveCount) {
        const Pos changed = std::min(work.edit, r.end) - 1;
        if (changed > r.start)
            left = std::max(0, int(std::floor(margin + d->wrap.widthTo(r.start, changed - 1))) - 1);
        const double end = d->wrap.widthTo(r.start, std::max(work.edit, r.end));
        right = std::min(right, int(std::ceil(margin + end)) + rowHeight);
    }
    viewport()->update(left, y, right - left, rowHeight);
    const int rowsAfter = int(rs.size() - i - 1);
    if (rowsAfter <= 0)
        return;
    // where the rows above wrap as they did, the rows after it were empty: they are drawn as
    // far as the text they hold now reaches
    int reach = viewport()->width();
    if (same == work.aboveCount) {
        double widest = 0;
        for (std::size_t k = i + 1; k < rs.size(); ++k)
            widest = std::max(widest, d->wrap.widthTo(rs[k].start, rs[k].end));
        reach = std::min(reach, int(std::ceil(margin + widest)) + rowHeight);
    }
    viewport()->update(0, y + rowHeight, reach, rowsAfter * rowHeight + 1);
}

void LogView::programEdit(Pos from, Pos to, std::u32string_view chars, bool deferrable)
{
    deferring = deferrable && deferScreen;
    if (!deferring)
        showEdits();
    const bool collect = from == to && collectsInsertion(from, Pos(chars.size()));
    const Removal removed = collect ? Removal{true, {}} : removedForAnnouncement(from, to);
    const Pos at = replace(from, to, chars);
    const Pos n = std::min<Pos>(Pos(chars.size()), d->store.capacity());
    caret = anchor = at + n;
    caretAtRowEnd = false;
    goalX = -1;
    d->history.clear();
    if (collect)
        collectInsertion(at, n);
    else
        announceEdit(at, removed, n);
    if (deferring) {
        // the rows stay computed as far as the caret, so that an edit elsewhere finds its own
        if (!d->deferred.appended)
            screenRows(caret);
        deferring = false;
    } else {
        ensureCaretVisible();
        caretMoved(false);
    }
    if (toldSelection)
        tellCaret(false);   // a selection the program's text replaced is gone
}

void LogView::insertAtCaret(const QString &text)
{
    const Pos from = std::min(caret, anchor), to = std::max(caret, anchor);
    if (text.size() == 1 && !text[0].isSurrogate() && text[0] != u'\r' &&
        text[0] != QChar::ParagraphSeparator && text[0] != QChar::LineSeparator) {
        const char32_t c = text[0].unicode();   // a received byte's drawing: no conversion
        programEdit(from, to, std::u32string_view(&c, 1), true);
    } else {
        programEdit(from, to, toChars(text), true);
    }
}

void LogView::appendParagraph(const QString &text)
{
    if (text.isEmpty()) {
        const char32_t lineBreak = U'\n';
        programEdit(d->store.size(), d->store.size(), std::u32string_view(&lineBreak, 1), true);
        return;
    }
    programEdit(d->store.size(), d->store.size(), U"\n" + toChars(text), true);
}

void LogView::setPlainText(const QString &text)
{
    clear();
    programEdit(0, 0, toChars(text));
    moveCaret(0, false);
}

void LogView::clear()
{
    showEdits();
    const Pos size = d->store.size();
    const Removal removed = removedForAnnouncement(0, size);
    d->store.clear();
    d->wrap.reset();
    caret = anchor = top = spokenFrom = 0;
    caretAtRowEnd = false;
    goalX = -1;
    rows.clear();
    d->history.clear();
    announceEdit(0, removed, 0);
    caretMoved();
}

void LogView::operatorEdit(Pos from, Pos to, const QString &text, EditKind kind)
{
    showEdits();
    from = std::clamp<Pos>(from, 0, d->store.size());
    to = std::clamp<Pos>(to, from, d->store.size());
    Edit e;
    e.at = from;
    e.inserted = toChars(text);
    e.caretBefore = caret;
    e.anchorBefore = anchor;
    e.kind = kind;
    const bool undoable = to - from <= kUndoableRemoval;
    if (undoable)
        e.removed = d->store.text(from, to);
    const Removal removed = removedForAnnouncement(from, to);

    const Pos at = replace(from, to, e.inserted);
    const Pos n = std::min<Pos>(Pos(e.inserted.size()), d->store.capacity());
    caret = anchor = at + n;
    caretAtRowEnd = false;
    goalX = -1;
    announceEdit(at, removed, n);

    if (!undoable || at != from || n < Pos(e.inserted.size()))
        d->history.clear();   // a full log discarded text, or the edit was too large to keep
    else
        d->history.record(std::move(e));
    ensureCaretVisible();
    caretMoved();
}

void LogView::editText(Pos from, Pos to, const QString &text)
{
    operatorEdit(from, to, text, EditKind::Other);
}

void LogView::applyEdit(Pos at, Pos length, const std::u32string &chars, Pos caretAfter,
                        Pos anchorAfter)
{
    showEdits();
    const Removal removed = removedForAnnouncement(at, at + length);
    const Pos start = replace(at, at + length, chars);
    announceEdit(start, removed, std::min<Pos>(Pos(chars.size()), d->store.capacity()));
    setSelection(anchorAfter, caretAfter);
}

void LogView::undo()
{
    if (!d->history.canUndo())
        return;
    Edit e = d->history.takeUndo();
    applyEdit(e.at, Pos(e.inserted.size()), e.removed, e.caretBefore, e.anchorBefore);
    d->history.undone(std::move(e));
}

void LogView::redo()
{
    if (!d->history.canRedo())
        return;
    Edit e = d->history.takeRedo();
    const Pos end = e.at + Pos(e.inserted.size());
    applyEdit(e.at, Pos(e.removed.size()), e.inserted, end, end);
    d->history.redone(std::move(e));
}

void LogView::deleteSelection()
{
    if (hasSelection())
        operatorEdit(std::min(caret, anchor), std::max(caret, anchor), QString(), EditKind::Other);
}

QString LogView::textBetween(Pos from, Pos to) const
{
    return fromChars(d->store.text(from, to));
}

QString LogView::selectedText() const
{
    return textBetween(std::min(caret, anchor), std::max(caret, anchor));
}

// --- caret and selection -------------------------------------------------------------------------

void LogView::setSelection(Pos newAnchor, Pos newCaret)
{
    showEdits();
    anchor = std::clamp<Pos>(newAnchor, 0, d->store.size());
    caret = std::clamp<Pos>(newCaret, 0, d->store.size());
    caretAtRowEnd = false;
    goalX = -1;
    d->history.endRun();
    ensureCaretVisible();
    caretMoved();
}

void LogView::moveCaret(Pos to, bool keepAnchor, bool atRowEnd)
{
    showEdits();
    const bool hadSelection = hasSelection();
    caret = std::clamp<Pos>(to, 0, d->store.size());
    if (!keepAnchor)
        anchor = caret;
    caretAtRowEnd = atRowEnd;
    d->history.endRun();
    ensureCaretVisible();
    caretMoved();
    if (hasSelection() || hadSelection)
        selectionChanged();
}

void LogView::caretMoved(bool tell)
{
    caretOn = true;
    if (hasFocus()) {
        const int flash = QGuiApplication::styleHints()->cursorFlashTime();
        if (flash > 0)
            blinkTimer.start(flash / 2, this);
        QGuiApplication::inputMethod()->update(Qt::ImCursorRectangle | Qt::ImCursorPosition |
                                               Qt::ImAnchorPosition | Qt::ImSurroundingText |
                                               Qt::ImCurrentSelection);
    }
    if (tell)
        tellCaret(true);
    // a selection or text being composed moves with the caret; a caret alone is one thin rect,
    // drawn only while the log has the focus
    if (hasSelection() || selectionShown || !preedit.isEmpty()) {
        viewport()->update();
    } else {
        viewport()->update(caretShown);
        if (hasFocus())
            viewport()->update(caretRect().adjusted(-1, 0, 1, 0));
    }
    selectionShown = hasSelection();
}

} // namespace logview
