#include "logview/logview.h"

#include "logview/accessible.h"
#include "logview/chars.h"
#include "logview/hexbox.h"
#include "logview/words.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QInputMethod>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QStyleHints>
#include <QTextCharFormat>

#include <algorithm>
#include <cmath>

namespace logview {

namespace {

// A text field's margin around the text.
constexpr qreal kMargin = 4;
// Selections up to this size go to the X11 primary selection at once; larger ones are read
// from the log when another program asks for them.
constexpr Pos kEagerSelection = Pos(4) << 20;
// An edit that removes more than this cannot be undone: its history would cost four bytes a
// character removed.
constexpr Pos kUndoableRemoval = Pos(16) << 20;
// The text an input method sees around the caret.
constexpr Pos kSurroundingReach = 1024;
// Edits larger than this are told to assistive technology as "the text changed", not in full.
constexpr Pos kAnnounced = 64 * 1024;

// The X11 primary selection of a large selection: read from the log when it is asked for.
class SelectionData : public QMimeData {
public:
    explicit SelectionData(LogView *view) : view(view) {}
    QStringList formats() const override { return {QStringLiteral("text/plain")}; }
    bool hasFormat(const QString &type) const override { return type == u"text/plain"; }

protected:
    QVariant retrieveData(const QString &type, QMetaType) const override
    {
        return view && type == u"text/plain" ? QVariant(view->selectedText()) : QVariant();
    }

private:
    QPointer<LogView> view;
};

} // namespace

LogView::LogView(QWidget *parent, Pos capacity)
    : QAbstractScrollArea(parent), store(capacity), wrap(store), margin(kMargin)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    installAccessibleLogView();
    updateMetrics();
}

LogView::~LogView() = default;

// --- metrics and rows --------------------------------------------------------------------

void LogView::updateMetrics()
{
    const QFont f = font();
    const QFontMetricsF fm(f);
    Advances a;
    for (int c = 1; c < 256; ++c)
        a.cell[c] = fm.horizontalAdvance(QString(QChar(cellUnits()[c])));
    hexBox = std::make_unique<HexBox>(f);
    a.other = [f](char32_t c) { return QFontMetricsF(f).horizontalAdvance(QString::fromUcs4(&c, 1)); };
    a.tabStop = kTabStop;
    wrap.setAdvances(std::move(a));

    QTextLayout probe(QStringLiteral("X"), f);
    layOutRow(probe);
    rowHeight = std::max(1, int(std::ceil(probe.lineAt(0).height())));

    layouts.clear();
    wrap.setWidth(viewport()->width() - 2 * margin);
    setTop(top == 0 ? 0 : wrap.rowAt(top).start);
    rows.clear();
    viewport()->update();
}

int LogView::fullRows() const
{
    return std::max(1, int((viewport()->height() - topMargin()) / rowHeight));
}

const std::vector<Row> &LogView::screenRows(Pos through)
{
    const int fit =
        std::max(1, int(std::ceil((viewport()->height() - topMargin()) / qreal(rowHeight))));
    // rows a little past the bottom let the view follow a caret that moved just below it
    const std::size_t limit = std::size_t(through >= 0 ? fit + 4 : fit);
    while (rows.size() < limit) {
        if (!rows.empty() && (rows.back().next < 0 || (through >= 0 && rows.back().next > through)))
            break;
        rows.push_back(wrap.rowFrom(rows.empty() ? top : rows.back().next));
    }
    return rows;
}

void LogView::setTop(Pos rowStart)
{
    auto kept = std::find_if(rows.begin(), rows.end(),
                             [&](const Row &r) { return r.start == rowStart; });
    const bool hadMargin = topMargin() > 0;
    const int up = kept == rows.end() ? -1 : int(kept - rows.begin());
    if (kept == rows.end())
        rows.clear();
    else
        rows.erase(rows.begin(), kept);
    top = rowStart;
    if (hadMargin != (topMargin() > 0) || up < 0) {
        viewport()->update();
    } else if (up > 0) {
        // the rows that stay are moved on screen; only those that come in are painted
        const int dy = up * rowHeight;
        if (dy < viewport()->height())
            viewport()->scroll(0, -dy);
        else
            viewport()->update();
        caretShown.translate(0, -dy);
    }
}

void LogView::repaintRowsFrom(std::size_t index)
{
    const int y = int(std::floor(topMargin() + qreal(index) * rowHeight));
    viewport()->update(0, y, viewport()->width(), std::max(0, viewport()->height() - y));
}

// Before the text changes at `at`: the rows on screen from two before the one holding `at`
// may wrap differently. Returns the index of the row holding `at`.
std::size_t LogView::forgetRowsFrom(Pos at)
{
    std::size_t k = 0;
    while (k < rows.size() && rows[k].next >= 0 && at >= rows[k].next)
        ++k;
    rows.resize(k >= 2 ? k - 2 : 0);
    return k;
}

int LogView::caretRowIndex(const std::vector<Row> &rs) const
{
    for (std::size_t i = 0; i < rs.size(); ++i) {
        const Row &r = rs[i];
        if (caretAtRowEnd && !r.endsParagraph && r.end == caret)
            return int(i);
        if (caret >= r.start && (r.next < 0 || caret < r.next)) {
            // shown at the end of the row above the screen, where that row wraps
            if (i == 0 && caretAtRowEnd && caret == top && top > 0 && store.at(top - 1) != U'\n')
                return -1;
            return int(i);
        }
    }
    return -1;
}

Row LogView::caretRow()
{
    if (caretAtRowEnd && caret > 0) {
        const Row r = wrap.rowAt(caret - 1);
        if (!r.endsParagraph && r.end == caret)
            return r;
    }
    return wrap.rowAt(caret);
}

void LogView::scrollRows(int n)
{
    Pos t = top;
    for (; n < 0 && t > 0; ++n)
        t = wrap.previousRowStart(t);
    if (n > 0) {
        // no further than showing the last row at the bottom
        const int whole = std::max(1, viewport()->height() / rowHeight);
        std::vector<Pos> ahead;
        for (Pos s = t; s >= 0 && int(ahead.size()) < n + whole; s = wrap.rowFrom(s).next)
            ahead.push_back(s);
        t = ahead[std::size_t(std::clamp(int(ahead.size()) - whole, 0, n))];
    }
    setTop(std::max<Pos>(0, t));
}

void LogView::ensureCaretVisible()
{
    const int height = viewport()->height();
    const int whole = std::max(1, height / rowHeight);   // rows shown whole without the margin
    for (int attempt = 0; attempt < 3; ++attempt) {
        const bool aboveTop = caret < top || (caret == top && caretAtRowEnd && top > 0 &&
                                              store.at(top - 1) != U'\n');
        if (aboveTop) {
            setTop(caretRow().start);
            continue;
        }
        const std::vector<Row> &rs = screenRows(caret);
        const int i = caretRowIndex(rs);
        if (i >= 0) {
            if (i == 0 || topMargin() + (i + 1) * rowHeight <= height)
                return;
            // the caret's row becomes the last one shown whole
            setTop(rs[std::size_t(std::clamp(i + 1 - whole, 1, i))].start);
            continue;
        }
        // far below: the caret's row goes to the bottom
        Pos s = caretRow().start;
        for (int n = whole - 1; n > 0; --n) {
            const Pos p = wrap.previousRowStart(s);
            if (p < 0)
                break;
            s = p;
        }
        setTop(s);
    }
}

void LogView::showRange(Pos from, Pos to)
{
    const Pos keepCaret = caret;
    const bool keepEnd = caretAtRowEnd;
    caretAtRowEnd = false;
    caret = std::clamp<Pos>(to, 0, store.size());
    ensureCaretVisible();
    caret = std::clamp<Pos>(from, 0, store.size());
    ensureCaretVisible();
    caret = keepCaret;
    caretAtRowEnd = keepEnd;
}

std::vector<Row> LogView::rowsOnScreen()
{
    std::vector<Row> shown;
    qreal y = topMargin();
    for (const Row &r : screenRows()) {
        if (y >= viewport()->height())
            break;
        shown.push_back(r);
        y += rowHeight;
    }
    return shown;
}

// --- where things are on screen ------------------------------------------------------------------

Pos LogView::rowPositionAtX(const Row &row, qreal x, bool *atRowEnd)
{
    const RowText t(store, row);
    const int index = layouts.layoutFor(t.text, font())->lineAt(0).xToCursor(x);
    const Pos pos = t.positionAt(index);
    *atRowEnd = !row.endsParagraph && pos >= row.end;
    return *atRowEnd ? row.end : pos;
}

qreal LogView::caretX(const Row &row)
{
    const RowText t(store, row);
    return layouts.layoutFor(t.text, font())->lineAt(0).cursorToX(t.indexOf(caret));
}

QRect LogView::caretRect()
{
    const std::vector<Row> &rs = screenRows(caret);
    const int i = caretRowIndex(rs);
    if (i < 0)
        return QRect();
    const qreal x = margin + caretX(rs[std::size_t(i)]);
    return QRect(int(x), int(topMargin() + i * rowHeight), 1, rowHeight);
}

QRect LogView::characterRect(Pos pos)
{
    const std::vector<Row> shown = rowsOnScreen();
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const Row &r = shown[i];
        if (pos < r.start || pos > r.end || (pos == r.end && !r.endsParagraph))
            continue;
        const RowText t(store, r);
        const QTextLine line = layouts.layoutFor(t.text, font())->lineAt(0);
        const qreal x0 = line.cursorToX(t.indexOf(pos));
        const qreal x1 = pos < r.end ? line.cursorToX(t.indexOf(pos + 1)) : x0 + 1;
        return QRectF(margin + x0, topMargin() + qreal(i) * rowHeight, std::max<qreal>(1, x1 - x0),
                      rowHeight)
            .toAlignedRect();
    }
    return QRect();
}

Pos LogView::positionAt(QPoint point)
{
    bool atEnd = false;
    const std::vector<Row> &rs = screenRows();
    const int i = std::clamp(int(std::floor((point.y() - topMargin()) / rowHeight)), 0,
                             int(rs.size()) - 1);
    const Pos pos = rowPositionAtX(rs[std::size_t(i)], point.x() - margin, &atEnd);
    caretAtRowEnd = atEnd;
    return pos;
}

// --- editing --------------------------------------------------------------------------------

Pos LogView::replace(Pos from, Pos to, std::u32string_view chars)
{
    from = std::clamp<Pos>(from, 0, store.size());
    to = std::clamp<Pos>(to, from, store.size());
    if (Pos(chars.size()) > store.capacity())
        chars = chars.substr(chars.size() - std::size_t(store.capacity()));

    // an edit in the top two rows may change where the row above the screen wraps
    const bool hadMargin = topMargin() > 0;
    const std::size_t k = forgetRowsFrom(from);
    bool snapTop = from < top || (k < 2 && top > 0 && store.at(top - 1) != U'\n');

    if (to > from) {
        store.erase(from, to);
        wrap.edited(from, to - from, 0);
        const Pos removed = to - from;
        for (Pos *p : {&caret, &anchor, &top})
            *p = *p >= to ? *p - removed : std::min(*p, from);
    }
    const Pos n = Pos(chars.size());
    if (const Pos dropped = store.makeRoom(n)) {
        wrap.edited(0, dropped, 0);
        for (Pos *p : {&caret, &anchor, &top, &from})
            *p = std::max<Pos>(0, *p - dropped);
        rows.clear();
        snapTop = true;
        history.clear();   // what the history points at has gone
    }
    if (n > 0) {
        store.insert(from, chars);
        wrap.edited(from, 0, n);
        for (Pos *p : {&caret, &anchor})
            if (*p > from)
                *p += n;
        if (top > from)
            top += n;
    }
    if (snapTop) {
        rows.clear();
        top = top == 0 ? 0 : wrap.rowAt(top).start;
    }
    if (snapTop || hadMargin != (topMargin() > 0))
        viewport()->update();
    else
        repaintRowsFrom(k >= 2 ? k - 2 : 0);   // the rows kept above are as they were
    return from;
}

void LogView::programEdit(Pos from, Pos to, std::u32string_view chars)
{
    const QString removed = removedForAnnouncement(from, to);
    const Pos at = replace(from, to, chars);
    const Pos n = std::min<Pos>(Pos(chars.size()), store.capacity());
    caret = anchor = at + n;
    caretAtRowEnd = false;
    goalX = -1;
    history.clear();
    announceEdit(at, to - from, removed, n);
    ensureCaretVisible();
    caretMoved();
}

void LogView::insertAtCaret(const QString &text)
{
    const Pos from = std::min(caret, anchor), to = std::max(caret, anchor);
    if (text.size() == 1 && !text[0].isSurrogate() && text[0] != u'\r' &&
        text[0] != QChar::ParagraphSeparator && text[0] != QChar::LineSeparator) {
        const char32_t c = text[0].unicode();   // a received byte's drawing: no conversion
        programEdit(from, to, std::u32string_view(&c, 1));
    } else {
        programEdit(from, to, toChars(text));
    }
}

void LogView::appendParagraph(const QString &text)
{
    programEdit(store.size(), store.size(), U"\n" + toChars(text));
}

void LogView::setPlainText(const QString &text)
{
    clear();
    programEdit(0, 0, toChars(text));
    moveCaret(0, false);
}

void LogView::clear()
{
    const Pos size = store.size();
    const QString removed = removedForAnnouncement(0, size);
    store.clear();
    wrap.reset();
    caret = anchor = top = 0;
    caretAtRowEnd = false;
    goalX = -1;
    rows.clear();
    history.clear();
    announceEdit(0, size, removed, 0);
    caretMoved();
}

void LogView::operatorEdit(Pos from, Pos to, const QString &text, EditKind kind)
{
    from = std::clamp<Pos>(from, 0, store.size());
    to = std::clamp<Pos>(to, from, store.size());
    Edit e;
    e.at = from;
    e.inserted = toChars(text);
    e.caretBefore = caret;
    e.anchorBefore = anchor;
    e.kind = kind;
    const bool undoable = to - from <= kUndoableRemoval;
    if (undoable)
        e.removed = store.text(from, to);
    const QString removed = removedForAnnouncement(from, to);

    const Pos at = replace(from, to, e.inserted);
    const Pos n = std::min<Pos>(Pos(e.inserted.size()), store.capacity());
    caret = anchor = at + n;
    caretAtRowEnd = false;
    goalX = -1;
    announceEdit(at, to - from, removed, n);

    if (!undoable || at != from || n < Pos(e.inserted.size()))
        history.clear();   // a full log discarded text, or the edit was too large to keep
    else
        history.record(std::move(e));
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
    const QString removed = removedForAnnouncement(at, at + length);
    const Pos start = replace(at, at + length, chars);
    announceEdit(start, length, removed, std::min<Pos>(Pos(chars.size()), store.capacity()));
    setSelection(anchorAfter, caretAfter);
}

void LogView::undo()
{
    if (!history.canUndo())
        return;
    Edit e = history.takeUndo();
    applyEdit(e.at, Pos(e.inserted.size()), e.removed, e.caretBefore, e.anchorBefore);
    history.undone(std::move(e));
}

void LogView::redo()
{
    if (!history.canRedo())
        return;
    Edit e = history.takeRedo();
    const Pos end = e.at + Pos(e.inserted.size());
    applyEdit(e.at, Pos(e.removed.size()), e.inserted, end, end);
    history.redone(std::move(e));
}

void LogView::deleteSelection()
{
    if (hasSelection())
        operatorEdit(std::min(caret, anchor), std::max(caret, anchor), QString(), EditKind::Other);
}

QString LogView::textBetween(Pos from, Pos to) const
{
    return fromChars(store.text(from, to));
}

QString LogView::selectedText() const
{
    return textBetween(std::min(caret, anchor), std::max(caret, anchor));
}

void LogView::setSelection(Pos newAnchor, Pos newCaret)
{
    anchor = std::clamp<Pos>(newAnchor, 0, store.size());
    caret = std::clamp<Pos>(newCaret, 0, store.size());
    caretAtRowEnd = false;
    goalX = -1;
    history.endRun();
    ensureCaretVisible();
    caretMoved();
}

void LogView::moveCaret(Pos to, bool keepAnchor, bool atRowEnd)
{
    const bool hadSelection = hasSelection();
    caret = std::clamp<Pos>(to, 0, store.size());
    if (!keepAnchor)
        anchor = caret;
    caretAtRowEnd = atRowEnd;
    history.endRun();
    ensureCaretVisible();
    caretMoved();
    if (hasSelection() || hadSelection)
        selectionChanged();
}

void LogView::caretMoved()
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
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent event(this, int(caret));
        QAccessible::updateAccessibility(&event);
    }
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

void LogView::selectionChanged()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!hasSelection() || !clipboard->supportsSelection())
        return;
    if (std::abs(caret - anchor) <= kEagerSelection)
        clipboard->setText(selectedText(), QClipboard::Selection);
    else
        clipboard->setMimeData(new SelectionData(this), QClipboard::Selection);
}

QString LogView::removedForAnnouncement(Pos from, Pos to) const
{
    return QAccessible::isActive() && to - from <= kAnnounced ? textBetween(from, to) : QString();
}

void LogView::announceEdit(Pos at, Pos removedLength, const QString &removed, Pos insertedLength)
{
    if (!QAccessible::isActive() || (removedLength == 0 && insertedLength == 0))
        return;
    if (removedLength > kAnnounced || insertedLength > kAnnounced) {
        QAccessibleEvent event(this, QAccessible::TextUpdated);   // too large to tell in full
        QAccessible::updateAccessibility(&event);
        return;
    }
    const QString inserted = textBetween(at, at + insertedLength);
    if (!removed.isEmpty() && !inserted.isEmpty()) {
        QAccessibleTextUpdateEvent event(this, int(at), removed, inserted);
        QAccessible::updateAccessibility(&event);
    } else if (!inserted.isEmpty()) {
        QAccessibleTextInsertEvent event(this, int(at), inserted);
        QAccessible::updateAccessibility(&event);
    } else {
        QAccessibleTextRemoveEvent event(this, int(at), removed);
        QAccessible::updateAccessibility(&event);
    }
}

void LogView::copy()
{
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

void LogView::cut()
{
    copy();
    deleteSelection();
}

void LogView::paste()
{
    const QString text = QGuiApplication::clipboard()->text();   // plain text only
    if (!text.isEmpty())
        operatorEdit(std::min(caret, anchor), std::max(caret, anchor), text, EditKind::Other);
}

void LogView::selectAll()
{
    anchor = 0;
    caret = store.size();
    caretAtRowEnd = false;
    history.endRun();
    caretMoved();
    selectionChanged();
}

// --- events -----------------------------------------------------------------------------------

bool LogView::event(QEvent *e)
{
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

void LogView::resizeEvent(QResizeEvent *e)
{
    QAbstractScrollArea::resizeEvent(e);
    wrap.setWidth(viewport()->width() - 2 * margin);
    rows.clear();
    top = top == 0 ? 0 : wrap.rowAt(top).start;
    viewport()->update();
}

void LogView::changeEvent(QEvent *e)
{
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::FontChange)
        updateMetrics();
}

void LogView::paintEvent(QPaintEvent *e)
{
    QPainter painter(viewport());
    const QRect clip = e->rect();
    layouts.beginFrame();
    const std::vector<Row> &rs = screenRows();
    const int caretAt = caretRowIndex(rs);
    qreal y = topMargin();
    for (std::size_t i = 0; i < rs.size() && y < viewport()->height(); ++i, y += rowHeight)
        if (y + rowHeight > clip.top() && y <= clip.bottom())
            paintRow(painter, rs[i], y, clip, int(i) == caretAt);
    // where a caret stands on the screen now, for the frame that moves it
    if (clip.contains(caretShown))
        caretShown = QRect();
    if (caretAt >= 0 && caretOn && hasFocus() && preedit.isEmpty()) {
        const QRect drawn = caretRect().adjusted(-1, 0, 1, 0);
        if (clip.intersects(drawn))
            caretShown = drawn;
    }
    layouts.endFrame();
}

void LogView::paintRow(QPainter &p, const Row &row, qreal y, const QRect &clip, bool caretHere)
{
    const RowText t(store, row, true);
    const QString &s = t.text;
    const int caretIndex = caretHere ? t.indexOf(caret) : -1;

    QTextLayout *layout;
    std::unique_ptr<QTextLayout> withPreedit;
    if (caretHere && !preedit.isEmpty()) {
        withPreedit = std::make_unique<QTextLayout>(s, font());
        withPreedit->setPreeditArea(caretIndex, preedit);
        QList<QTextLayout::FormatRange> formats = preeditFormats;
        for (auto &f : formats)
            f.start += caretIndex;
        withPreedit->setFormats(formats);
        layOutRow(*withPreedit);
        layout = withPreedit.get();
    } else {
        layout = layouts.layoutFor(s, font());
    }

    QList<QTextLayout::FormatRange> selections;
    const Pos selFrom = std::max(std::min(caret, anchor), row.start);
    const Pos selTo = std::min(std::max(caret, anchor), row.end);
    if (selFrom < selTo) {
        QTextLayout::FormatRange r;
        r.start = t.indexOf(selFrom);
        r.length = t.indexOf(selTo) - r.start;
        r.format.setBackground(palette().brush(QPalette::Highlight));
        r.format.setForeground(palette().brush(QPalette::HighlightedText));
        selections.append(r);
    }
    p.setPen(palette().color(QPalette::Text));
    const QPointF origin(margin, y);
    layout->draw(&p, origin, selections, clip);
    if (!t.boxes.empty()) {
        // where the boxes stand, found once for a row's shaped text
        std::vector<qreal> scratch;
        std::vector<qreal> *xs = &scratch;
        if (!withPreedit)
            xs = &layouts.boxX(s);
        if (xs->size() != t.boxes.size()) {
            const QTextLine line = layout->lineAt(0);
            xs->clear();
            for (const RowText::Box &b : t.boxes)
                xs->push_back(line.cursorToX(withPreedit && b.index >= caretIndex
                                                 ? b.index + int(preedit.size())
                                                 : b.index));
        }
        const int selStart = selections.isEmpty() ? -1 : selections[0].start;
        const int selEnd = selections.isEmpty() ? -1 : selStart + selections[0].length;
        const QColor text = palette().color(QPalette::Text);
        const QColor selected = palette().color(QPalette::HighlightedText);
        const qreal w = hexBox->size().width();
        for (std::size_t k = 0; k < t.boxes.size(); ++k) {
            const RowText::Box &b = t.boxes[k];
            const qreal x0 = (*xs)[k];
            if (margin + x0 + w < clip.left() || margin + x0 > clip.right() + 1)
                continue;
            hexBox->paint(p, QRectF(margin + x0, y, w, rowHeight), b.byte,
                          b.index >= selStart && b.index < selEnd ? selected : text);
        }
    }
    if (caretHere && caretOn && hasFocus() && (preedit.isEmpty() || preeditCursorShown)) {
        const int at = preedit.isEmpty() ? caretIndex : caretIndex + preeditCursor;
        layout->drawCursor(&p, origin, at, 1);
    }
}

void LogView::keyPressEvent(QKeyEvent *e)
{
    enum Motion { Left, Right, WordLeft, WordRight, Up, Down, RowStart, RowEnd, ParaStart,
                  ParaEnd, DocStart, DocEnd, PageUp, PageDown };
    static const struct {
        QKeySequence::StandardKey move, select;
        Motion motion;
    } motions[] = {
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

    if ((e->key() == Qt::Key_Up || e->key() == Qt::Key_Down) &&
        e->modifiers() == Qt::ControlModifier) {
        scrollRows(e->key() == Qt::Key_Up ? -1 : 1);   // the view moves, the caret stays
        return;
    }
    for (const auto &m : motions) {
        const bool select = e->matches(m.select);
        if (!select && !e->matches(m.move))
            continue;
        const qreal x = goalX >= 0 ? goalX : caretX(caretRow());
        bool atEnd = false;
        Pos to = caret;
        switch (m.motion) {
        case Left:
            to = !select && hasSelection() ? std::min(caret, anchor) : caret - 1;
            break;
        case Right:
            to = !select && hasSelection() ? std::max(caret, anchor) : caret + 1;
            break;
        case WordLeft: to = wordStart(store, caret); break;
        case WordRight: to = wordEnd(store, caret); break;
        case RowStart: to = caretRow().start; break;
        case RowEnd: {
            const Row r = caretRow();
            to = r.end;
            atEnd = !r.endsParagraph;
            break;
        }
        case ParaStart: to = store.paragraphStart(caret); break;
        case ParaEnd: to = store.paragraphEnd(caret); break;
        case DocStart: to = 0; break;
        case DocEnd: to = store.size(); break;
        case Up:
        case Down:
        case PageUp:
        case PageDown: {
            const bool up = m.motion == Up || m.motion == PageUp;
            const int n = m.motion == Up || m.motion == Down ? 1 : fullRows();
            Row r = caretRow();
            int moved = 0;
            for (; moved < n; ++moved) {
                const Pos s = up ? wrap.previousRowStart(r.start) : r.next;
                if (s < 0)
                    break;
                r = wrap.rowFrom(s);
            }
            if (moved == 0)
                return;
            if (m.motion == PageUp || m.motion == PageDown)
                scrollRows(up ? -moved : moved);
            to = rowPositionAtX(r, x, &atEnd);
            moveCaret(to, select, atEnd);
            goalX = x;
            return;
        }
        }
        goalX = -1;
        moveCaret(to, select, atEnd);
        return;
    }

    if (e->matches(QKeySequence::SelectAll))
        selectAll();
    else if (e->matches(QKeySequence::Copy))
        copy();
    else if (e->matches(QKeySequence::Cut))
        cut();
    else if (e->matches(QKeySequence::Paste))
        paste();
    else if (e->matches(QKeySequence::Undo))
        undo();
    else if (e->matches(QKeySequence::Redo))
        redo();
    else if (e->matches(QKeySequence::Backspace) || e->key() == Qt::Key_Backspace) {
        if (hasSelection())
            deleteSelection();
        else if (caret > 0)
            operatorEdit(caret - 1, caret, QString(), EditKind::Backspace);
    } else if (e->matches(QKeySequence::Delete)) {
        if (hasSelection())
            deleteSelection();
        else if (caret < store.size())
            operatorEdit(caret, caret + 1, QString(), EditKind::Delete);
    } else if (e->matches(QKeySequence::DeleteStartOfWord)) {
        if (hasSelection())
            deleteSelection();
        else
            operatorEdit(wordStart(store, caret), caret, QString(), EditKind::Other);
    } else if (e->matches(QKeySequence::DeleteEndOfWord)) {
        if (hasSelection())
            deleteSelection();
        else
            operatorEdit(caret, wordEnd(store, caret), QString(), EditKind::Other);
    } else if (e->matches(QKeySequence::InsertParagraphSeparator) ||
               e->matches(QKeySequence::InsertLineSeparator)) {
        operatorEdit(std::min(caret, anchor), std::max(caret, anchor), QStringLiteral("\n"),
                     EditKind::Other);
    } else if (const QString t = e->text();
               !t.isEmpty() && t.at(0).isPrint() &&
               !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        operatorEdit(std::min(caret, anchor), std::max(caret, anchor), t, EditKind::Typing);
    } else {
        e->ignore();
    }
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
    const auto [from, to] = wordAt(store, pos);
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
    caretMoved();
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
            from = std::clamp<Pos>(caret + e->replacementStart(), 0, store.size());
            to = std::clamp<Pos>(from + e->replacementLength(), from, store.size());
        }
        operatorEdit(from, to, e->commitString(), EditKind::Typing);
    }
    preedit = e->preeditString();
    preeditCursor = int(preedit.size());
    preeditCursorShown = true;
    preeditFormats.clear();
    for (const QInputMethodEvent::Attribute &a : e->attributes()) {
        if (a.type == QInputMethodEvent::Cursor) {
            preeditCursor = a.start;
            preeditCursorShown = a.length != 0;
        } else if (a.type == QInputMethodEvent::TextFormat) {
            const QTextCharFormat f = qvariant_cast<QTextFormat>(a.value).toCharFormat();
            if (f.isValid())
                preeditFormats.append({a.start, a.length, f});
        }
    }
    viewport()->update();
    e->accept();
}

QVariant LogView::inputMethodQuery(Qt::InputMethodQuery query) const
{
    auto *self = const_cast<LogView *>(this);
    const Pos start = std::max(store.paragraphStart(caret), caret - kSurroundingReach);
    const Pos end = std::min(store.paragraphEnd(caret), caret + kSurroundingReach);
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
