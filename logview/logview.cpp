#include "logview/logview.h"
#include "logview/logviewstate.h"

#include "logview/accessible.h"
#include "logview/chars.h"
#include "logview/hexbox.h"
#include "logview/rowlayout.h"

#include <QFontMetricsF>

#include <algorithm>
#include <cmath>

namespace logview {

namespace {

// A text field's margin around the text.
constexpr qreal kMargin = 4;

} // namespace

LogView::LogView(QWidget *parent) : LogView(parent, LogText::kDefaultCapacity) {}

LogView::LogView(QWidget *parent, Pos capacity)
    : QAbstractScrollArea(parent), d(std::make_unique<State>(capacity)), margin(kMargin)
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

const LogText &LogView::text() const { return d->store; }
Pos LogView::capacity() const { return d->store.capacity(); }
Pos LogView::length() const { return d->store.size(); }
Pos LogView::paragraphCount() const { return d->store.paragraphCount(); }
Pos LogView::caretParagraph() const { return d->store.paragraphIndex(caret); }
bool LogView::isUndoAvailable() const { return d->history.canUndo(); }
bool LogView::isRedoAvailable() const { return d->history.canRedo(); }
Row LogView::rowAtPosition(Pos pos) { return d->wrap.rowAt(pos); }

// --- metrics and rows ----------------------------------------------------------------------------

void LogView::updateMetrics()
{
    const QFont f = font();
    const QFontMetricsF fm(f);
    Advances a;
    for (int c = 1; c < 256; ++c)
        a.cell[c] = fm.horizontalAdvance(QString(QChar(cellUnits()[c])));
    d->hexBox = std::make_unique<HexBox>(f);
    a.other = [f](char32_t c) { return QFontMetricsF(f).horizontalAdvance(QString::fromUcs4(&c, 1)); };
    d->wrap.setAdvances(std::move(a));

    QTextLayout probe(QStringLiteral("X"), f);
    layOutRow(probe);
    rowHeight = std::max(1, int(std::ceil(probe.lineAt(0).height())));

    d->layouts.clear();
    d->wrap.setWidth(viewport()->width() - 2 * margin);
    setTop(top == 0 ? 0 : d->wrap.rowAt(top).start);
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
    const LogWrap &wrap = d->wrap;
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
std::size_t LogView::forgetRowsFrom(Pos at, Pos *kept, ScreenWork *work)
{
    std::size_t k = 0;
    while (k < rows.size() && rows[k].next >= 0 && at >= rows[k].next)
        ++k;
    const std::size_t keep = k >= 2 ? k - 2 : 0;
    if (work) {
        work->aboveCount = 0;
        for (std::size_t i = keep; i < k && i < rows.size(); ++i)
            work->above[work->aboveCount++] = rows[i];
    }
    rows.resize(keep);
    if (kept)
        *kept = rows.empty() ? top : rows.back().next;
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
            if (i == 0 && caretAtRowEnd && caret == top && top > 0 && d->store.at(top - 1) != U'\n')
                return -1;
            return int(i);
        }
    }
    return -1;
}

Row LogView::caretRow()
{
    if (caretAtRowEnd && caret > 0) {
        const Row r = d->wrap.rowAt(caret - 1);
        if (!r.endsParagraph && r.end == caret)
            return r;
    }
    return d->wrap.rowAt(caret);
}

void LogView::scrollRows(int n)
{
    Pos t = top;
    for (; n < 0 && t > 0; ++n)
        t = d->wrap.previousRowStart(t);
    if (n > 0) {
        // no further than showing the last row at the bottom
        const int whole = std::max(1, viewport()->height() / rowHeight);
        std::vector<Pos> ahead;
        for (Pos s = t; s >= 0 && int(ahead.size()) < n + whole; s = d->wrap.rowFrom(s).next)
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
                                              d->store.at(top - 1) != U'\n');
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
            const Pos p = d->wrap.previousRowStart(s);
            if (p < 0)
                break;
            s = p;
        }
        setTop(s);
    }
}

void LogView::showRange(Pos from, Pos to)
{
    showEdits();
    const Pos keepCaret = caret;
    const bool keepEnd = caretAtRowEnd;
    caretAtRowEnd = false;
    caret = std::clamp<Pos>(to, 0, d->store.size());
    ensureCaretVisible();
    caret = std::clamp<Pos>(from, 0, d->store.size());
    ensureCaretVisible();
    caret = keepCaret;
    caretAtRowEnd = keepEnd;
}

std::vector<Row> LogView::rowsOnScreen()
{
    showEdits();
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
    const RowText t(d->store, row);
    const int index = d->layouts.layoutFor(t.text, font())->lineAt(0).xToCursor(x);
    const Pos pos = t.positionAt(index);
    *atRowEnd = !row.endsParagraph && pos >= row.end;
    return *atRowEnd ? row.end : pos;
}

qreal LogView::caretX(const Row &row)
{
    const RowText t(d->store, row);
    return d->layouts.layoutFor(t.text, font())->lineAt(0).cursorToX(t.indexOf(caret));
}

QRect LogView::caretRect()
{
    showEdits();
    const std::vector<Row> &rs = screenRows(caret);
    const int i = caretRowIndex(rs);
    if (i < 0)
        return QRect();
    const qreal x = margin + caretX(rs[std::size_t(i)]);
    return QRect(int(x), int(topMargin() + i * rowHeight), 1, rowHeight);
}

QRect LogView::characterRect(Pos pos)
{
    showEdits();
    const std::vector<Row> shown = rowsOnScreen();
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const Row &r = shown[i];
        if (pos < r.start || pos > r.end || (pos == r.end && !r.endsParagraph))
            continue;
        const RowText t(d->store, r);
        const QTextLine line = d->layouts.layoutFor(t.text, font())->lineAt(0);
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
    showEdits();
    bool atEnd = false;
    const std::vector<Row> &rs = screenRows();
    const int i = std::clamp(int(std::floor((point.y() - topMargin()) / rowHeight)), 0,
                             int(rs.size()) - 1);
    const Pos pos = rowPositionAtX(rs[std::size_t(i)], point.x() - margin, &atEnd);
    caretAtRowEnd = atEnd;
    return pos;
}

// --- size and font -------------------------------------------------------------------------------

void LogView::resizeEvent(QResizeEvent *e)
{
    QAbstractScrollArea::resizeEvent(e);
    d->wrap.setWidth(viewport()->width() - 2 * margin);
    rows.clear();
    top = top == 0 ? 0 : d->wrap.rowAt(top).start;
    viewport()->update();
}

void LogView::changeEvent(QEvent *e)
{
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::FontChange)
        updateMetrics();
}

} // namespace logview
