// Painting the rows on screen: text, selection, hex boxes, the caret and text being composed.
#include "logview/logview.h"
#include "logview/logviewstate.h"

#include "logview/hexbox.h"
#include "logview/rowlayout.h"

#include <QPaintEvent>
#include <QScopedValueRollback>
#include <QPainter>

#include <algorithm>
#include <memory>

namespace logview {

void LogView::paintEvent(QPaintEvent *e)
{
    // a frame paints the text as it stands; what an edit left for showEdits() waits for it
    const QScopedValueRollback<bool> inPaint(painting, true);
    QPainter painter(viewport());
    const QRect clip = e->rect();
    d->layouts.beginFrame();
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
    d->layouts.endFrame();
}

void LogView::paintRow(QPainter &p, const Row &row, qreal y, const QRect &clip, bool caretHere)
{
    const RowText t(d->store, row, true);
    const QString &s = t.text;
    const int caretIndex = caretHere ? t.indexOf(caret) : -1;

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
    const bool caretShownHere =
        caretHere && caretOn && hasFocus() && (preedit.isEmpty() || preeditCursorShown);
    p.setPen(palette().color(QPalette::Text));
    const QPointF origin(margin, y);

    // a row with nothing but its text is drawn by the glyphs its characters have alone
    QTextLayout *layout = nullptr;
    std::unique_ptr<QTextLayout> withPreedit;
    const ShapedRow *shaped = nullptr;
    if (caretHere && !preedit.isEmpty()) {
        withPreedit = std::make_unique<QTextLayout>(s, font());
        withPreedit->setPreeditArea(caretIndex, preedit);
        QList<QTextLayout::FormatRange> formats = d->preeditFormats;
        for (auto &f : formats)
            f.start += caretIndex;
        withPreedit->setFormats(formats);
        layOutRow(*withPreedit);
        layout = withPreedit.get();
    } else if (selections.isEmpty() && !caretShownHere) {
        shaped = &d->layouts.rowFor(s, font());
    } else {
        layout = d->layouts.layoutFor(s, font());
    }
    if (shaped)
        shaped->draw(p, origin, clip, rowHeight);
    else
        layout->draw(&p, origin, selections, clip);
    if (!t.boxes.empty()) {
        // where the boxes stand, found once for a row's shaped text
        std::vector<qreal> scratch;
        std::vector<qreal> *xs = &scratch;
        if (!withPreedit)
            xs = &d->layouts.boxX(s);
        if (xs->size() != t.boxes.size()) {
            xs->clear();
            for (const RowText::Box &b : t.boxes)
                xs->push_back(shaped ? shaped->cursorToX(b.index)
                                     : layout->lineAt(0).cursorToX(
                                           withPreedit && b.index >= caretIndex
                                               ? b.index + int(preedit.size())
                                               : b.index));
        }
        const int selStart = selections.isEmpty() ? -1 : selections[0].start;
        const int selEnd = selections.isEmpty() ? -1 : selStart + selections[0].length;
        const QColor text = palette().color(QPalette::Text);
        const QColor selected = palette().color(QPalette::HighlightedText);
        const qreal w = d->hexBox->size().width();
        for (std::size_t k = 0; k < t.boxes.size(); ++k) {
            const RowText::Box &b = t.boxes[k];
            const qreal x0 = (*xs)[k];
            if (margin + x0 + w < clip.left() || margin + x0 > clip.right() + 1)
                continue;
            d->hexBox->paint(p, QRectF(margin + x0, y, w, rowHeight), b.byte,
                          b.index >= selStart && b.index < selEnd ? selected : text);
        }
    }
    if (caretShownHere) {
        const int at = preedit.isEmpty() ? caretIndex : caretIndex + preeditCursor;
        layout->drawCursor(&p, origin, at, 1);
    }
}

} // namespace logview
