#include "logview/accessible.h"

#include "logview/cells.h"
#include "logview/logview.h"
#include "logview/logwrap.h"
#include "logview/spoken.h"

#include <QAccessibleWidget>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace logview {

namespace {

// Offsets are characters of the spoken text (Spoken): what a screen reader works out from the
// lengths of the strings it is given lands where the operator is. The caret and a selection's
// ends stand before a box byte's name; a box byte's name is one character to character reading.
class AccessibleLogView : public QAccessibleWidget,
                          public QAccessibleTextInterface,
                          public QAccessibleEditableTextInterface {
public:
    explicit AccessibleLogView(LogView *view) : QAccessibleWidget(view, QAccessible::EditableText)
    {
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        if (type == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = true;
        s.multiLine = true;
        s.selectableText = true;
        s.focusable = true;
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        // the whole log as one value only while it is small; the text interface reads the rest
        if (t == QAccessible::Value) {
            const Spoken s(view());
            return s.size() <= kBoundaryReach ? s.text(0, s.count()) : QString();
        }
        return QAccessibleWidget::text(t);
    }

    // --- QAccessibleTextInterface
    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index == 0 && view()->hasSelection()) {
            const Spoken s(view());
            *start = int(s.edgeOf(std::min(view()->caretPosition(), view()->anchorPosition())));
            *end = int(s.edgeOf(std::max(view()->caretPosition(), view()->anchorPosition())));
        }
    }
    int selectionCount() const override { return view()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int index) override
    {
        if (index == 0)
            view()->setSelection(view()->caretPosition(), view()->caretPosition());
    }
    void setSelection(int index, int start, int end) override
    {
        if (index != 0)
            return;
        const Spoken s(view());
        view()->setSelection(s.positionFor(start), s.positionFor(end));
    }
    int cursorPosition() const override { return int(Spoken(view()).edgeOf(view()->caretPosition())); }
    void setCursorPosition(int position) override
    {
        const Pos pos = Spoken(view()).positionFor(position);
        view()->setSelection(pos, pos);
    }
    QString text(int start, int end) const override { return Spoken(view()).text(start, end); }
    int characterCount() const override { return int(Spoken(view()).count()); }

    QRect characterRect(int offset) const override
    {
        const QRect r = view()->characterRect(Spoken(view()).cellAt(offset));
        return r.isEmpty() ? QRect() : QRect(view()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }

    int offsetAtPoint(const QPoint &point) const override
    {
        const QPoint local = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(local))
            return -1;
        return int(Spoken(view()).edgeOf(view()->positionAt(local)));
    }

    void scrollToSubstring(int start, int end) override
    {
        const Spoken s(view());
        view()->showRange(s.cellAt(start), s.positionFor(end));
    }

    QString attributes(int offset, int *start, int *end) const override
    {
        Q_UNUSED(offset);
        *start = 0;
        *end = characterCount();
        return QString();
    }

    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override
    {
        int s, e;
        textAtOffset(offset, type, &s, &e);
        if (s <= 0) {
            *start = *end = 0;
            return QString();
        }
        return textAtOffset(s - 1, type, start, end);
    }

    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override
    {
        int s, e;
        textAtOffset(offset, type, &s, &e);
        if (e >= characterCount() || e <= offset) {
            *start = *end = characterCount();
            return QString();
        }
        return textAtOffset(e, type, start, end);
    }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                         int *end) const override
    {
        const Spoken s(view());
        const LogText &t = s.t;
        const Pos at = std::clamp<Pos>(offset, 0, s.count());
        Pos into = 0;
        const Pos cell = std::max(s.cellAt(at, &into), s.start);
        Pos from = at, to = at;   // spoken offsets
        switch (type) {
        case QAccessible::CharBoundary:
            if (cell < s.size()) {
                // a box byte's name is one character; the spaces round it are each their own
                from = s.offsetOf(cell);
                const Pos length = spokenLengthOf(t.at(cell));
                if (length > 1 && into > 0 && into < length - 1) {
                    ++from;
                    to = from + length - 2;
                } else {
                    from += into;
                    to = from + 1;
                }
            }
            break;
        case QAccessible::LineBoundary: {
            const Row r = view()->rowAtPosition(cell);
            from = s.offsetOf(std::max(r.start, s.start));
            to = s.offsetOf(r.next < 0 ? r.end : r.next);
            break;
        }
        case QAccessible::ParagraphBoundary:
            from = s.offsetOf(std::max(t.paragraphStart(cell), s.start));
            to = s.offsetOf(std::min(s.size(), t.paragraphEnd(cell) + 1));
            break;
        case QAccessible::NoBoundary:
            from = 0;
            to = s.count();
            break;
        case QAccessible::WordBoundary:
        case QAccessible::SentenceBoundary: {
            // the piece of the paragraph, its break included, that holds the cell
            const Pos paragraph = std::max(t.paragraphStart(cell), s.start);
            const Pos lo = paragraph + (cell - paragraph) / kBoundaryReach * kBoundaryReach;
            const Pos hi = std::min({t.paragraphEnd(cell) + 1, s.size(), lo + kBoundaryReach});
            const QString piece = toQString(s.cells(lo, hi));
            const Pos pieceStart = s.offsetOf(lo);
            const int local = int(at - pieceStart);
            QTextBoundaryFinder finder(type == QAccessible::WordBoundary
                                           ? QTextBoundaryFinder::Word
                                           : QTextBoundaryFinder::Sentence,
                                       piece);
            finder.setPosition(local);
            const int before = finder.isAtBoundary() ? local : int(finder.toPreviousBoundary());
            finder.setPosition(local);
            const int after = local >= piece.size() ? local : int(finder.toNextBoundary());
            from = pieceStart + std::max(0, before);
            to = after < 0 ? pieceStart + piece.size() : pieceStart + after;
            break;
        }
        }
        *start = int(from);
        *end = int(to);
        return s.text(from, to);
    }

    // --- QAccessibleEditableTextInterface: edits as the operator's own
    void deleteText(int start, int end) override
    {
        const Spoken s(view());
        view()->editText(s.positionFor(start), s.positionFor(end), QString());
    }
    void insertText(int offset, const QString &text) override
    {
        const Pos pos = Spoken(view()).positionFor(offset);
        view()->editText(pos, pos, text);
    }
    void replaceText(int start, int end, const QString &text) override
    {
        const Spoken s(view());
        view()->editText(s.positionFor(start), s.positionFor(end), text);
    }

private:
    LogView *view() const { return static_cast<LogView *>(widget()); }
};

QAccessibleInterface *makeAccessible(const QString &, QObject *object)
{
    if (auto *view = qobject_cast<LogView *>(object))
        return new AccessibleLogView(view);
    return nullptr;
}

} // namespace

void installAccessibleLogView()
{
    static const bool installed = [] {
        QAccessible::installFactory(makeAccessible);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace logview
