#include "logview/accessible.h"

#include "logview/cells.h"
#include "logview/hexbox.h"
#include "logview/logview.h"
#include "logview/logviewstate.h"

#include <QAccessibleWidget>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace logview {

namespace {

// Text around an offset that word and sentence boundaries are looked for in.
constexpr Pos kBoundaryReach = 4096;
// Edits larger than this are told to assistive technology as "the text changed", not in full.
constexpr Pos kAnnounced = 64 * 1024;

// What a screen reader is given to say for a piece of the log: each byte drawn as a hex box by
// its name, set apart by spaces from what stands beside it; everything else as it is.
QString spoken(const QString &text)
{
    auto boxByte = [&](qsizetype i) {
        const int byte = byteOf(text[i].unicode());
        return byte > 0 && isHexBoxByte(std::uint8_t(byte)) ? byte : -1;
    };
    qsizetype first = 0;
    while (first < text.size() && boxByte(first) < 0)
        ++first;
    if (first == text.size())
        return text;
    QString out = text.left(first);
    for (qsizetype i = first; i < text.size(); ++i) {
        const int byte = boxByte(i);
        if (byte < 0) {
            out += text[i];
            continue;
        }
        if (!out.isEmpty() && !out.back().isSpace())
            out += u' ';
        out += hexBoxName(std::uint8_t(byte));
        if (i + 1 < text.size() && !text[i + 1].isSpace())
            out += u' ';
    }
    return out;
}

// Offsets are positions in the log: characters, as the text interface counts them for any text
// without characters beyond the Basic Multilingual Plane. The strings returned are what is to be
// said (see spoken()), so a string may be longer than the range its offsets give.
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
        if (t == QAccessible::Value)
            return view()->length() <= kBoundaryReach ? spoken(view()->toPlainText()) : QString();
        return QAccessibleWidget::text(t);
    }

    // --- QAccessibleTextInterface
    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index == 0 && view()->hasSelection()) {
            *start = int(std::min(view()->caretPosition(), view()->anchorPosition()));
            *end = int(std::max(view()->caretPosition(), view()->anchorPosition()));
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
        if (index == 0)
            view()->setSelection(start, end);
    }
    int cursorPosition() const override { return int(view()->caretPosition()); }
    void setCursorPosition(int position) override { view()->setSelection(position, position); }
    QString text(int start, int end) const override
    {
        return spoken(view()->textBetween(start, end));
    }
    int characterCount() const override { return int(view()->length()); }

    QRect characterRect(int offset) const override
    {
        const QRect r = view()->characterRect(offset);
        return r.isEmpty() ? QRect() : QRect(view()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }

    int offsetAtPoint(const QPoint &point) const override
    {
        const QPoint local = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(local))
            return -1;
        return int(view()->positionAt(local));
    }

    void scrollToSubstring(int start, int end) override { view()->showRange(start, end); }

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
        const Pos size = view()->length();
        const Pos at = std::clamp<Pos>(offset, 0, size);
        Pos from = at, to = at;
        switch (type) {
        case QAccessible::CharBoundary:
            to = std::min(size, at + 1);
            break;
        case QAccessible::LineBoundary: {
            const Row r = view()->rowAtPosition(at);
            from = r.start;
            to = r.next < 0 ? r.end : r.next;
            break;
        }
        case QAccessible::ParagraphBoundary:
            from = view()->text().paragraphStart(at);
            to = std::min(size, view()->text().paragraphEnd(at) + 1);
            break;
        case QAccessible::NoBoundary:
            from = 0;
            to = size;
            break;
        case QAccessible::WordBoundary:
        case QAccessible::SentenceBoundary: {
            // boundaries within the paragraph, as far as they are needed
            const Pos lo = std::max(view()->text().paragraphStart(at), at - kBoundaryReach);
            const Pos hi = std::min(view()->text().paragraphEnd(at), at + kBoundaryReach);
            const QString window = view()->textBetween(lo, hi);
            QTextBoundaryFinder finder(type == QAccessible::WordBoundary
                                           ? QTextBoundaryFinder::Word
                                           : QTextBoundaryFinder::Sentence,
                                       window);
            finder.setPosition(int(at - lo));
            const int before = finder.isAtBoundary() ? int(at - lo) : int(finder.toPreviousBoundary());
            finder.setPosition(int(at - lo));
            const int after = finder.toNextBoundary();
            from = lo + std::max(0, before);
            to = after < 0 ? hi : lo + after;
            break;
        }
        }
        *start = int(from);
        *end = int(to);
        return spoken(view()->textBetween(from, to));
    }

    // --- QAccessibleEditableTextInterface: edits as the operator's own
    void deleteText(int start, int end) override { view()->editText(start, end, QString()); }
    void insertText(int offset, const QString &text) override
    {
        view()->editText(offset, offset, text);
    }
    void replaceText(int start, int end, const QString &text) override
    {
        view()->editText(start, end, text);
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

// --- what the log tells of its edits -------------------------------------------------------------

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

} // namespace logview
