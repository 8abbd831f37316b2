#include "logview/accessible.h"

#include "logview/cells.h"
#include "logview/logview.h"
#include "logview/logviewstate.h"

#include <QAccessibleWidget>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <limits>

namespace logview {

namespace {

// Text around an offset that word and sentence boundaries are looked for in, in positions: the
// paragraph is cut into pieces this long from its start, and a piece's ends are boundaries, so
// that every offset of a piece is given the same ranges.
constexpr Pos kBoundaryReach = 4096;
// Edits that remove or insert more spoken characters than this are told by no text event: Qt's
// bridge carries a change only with its text.
constexpr Pos kAnnounced = 64 * 1024;
// Orca reads no insertion longer than 1000 characters: of what was collected, the last bytes are
// told apart, at most this many spoken characters, so that they are heard.
constexpr Pos kHeardTail = 160;
// The spoken text is counted in ints; past that the text given starts later, this much before
// the end.
constexpr Pos kSpokenLimit = std::numeric_limits<int>::max();
constexpr Pos kSpokenKept = Pos(3) << 29;

bool isBox(char32_t c)
{
    const int byte = byteOf(c);
    return byte > 0 && isHexBoxByte(std::uint8_t(byte));
}

// The spoken characters of a character of the log.
Pos spokenLengthOf(char32_t c)
{
    return isBox(c) ? Pos(boxName(std::uint8_t(byteOf(c))).size()) + 2 : 1;
}

// The spoken text of the cells [from, to): a box byte's name with a space on each side,
// everything else as it is (see spokenLength).
std::u32string spokenCells(const LogText &t, Pos from, Pos to)
{
    std::u32string out;
    out.reserve(std::size_t(std::max<Pos>(0, to - from)));
    while (from < to) {
        LogText::Chunk c = t.chunkAt(from);
        if (c.length == 0)
            break;
        const Pos n = std::min(c.length, to - from);
        for (Pos k = 0; k < n; ++k) {
            if (const char32_t side = c.sideChar(k)) {
                out.push_back(side);
            } else if (isHexBoxByte(c.cells[k])) {
                const std::string_view name = boxName(c.cells[k]);
                out.push_back(U' ');
                out.append(name.begin(), name.end());
                out.push_back(U' ');
            } else {
                out.push_back(cellChar(c.cells[k]));
            }
        }
        from += n;
    }
    return out;
}

QString toQString(const std::u32string &s)
{
    return QString::fromUcs4(s.data(), qsizetype(s.size()));
}

// The log's spoken text as assistive technology is given it: offsets from the view's spoken
// start (0 unless the log is huge).
class Spoken {
public:
    explicit Spoken(LogView *view)
        : t(view->text()), start(view->spokenStart()), base(t.spokenOffset(start))
    {
    }
    Pos count() const { return t.spokenSize() - base; }
    Pos size() const { return t.size(); }
    // Where the cell at `pos` starts (its leading space, for a box byte).
    Pos offsetOf(Pos pos) const { return std::max<Pos>(0, t.spokenOffset(pos) - base); }
    // Where the caret or a selection's end before `pos` is said: a box byte's name, not its space.
    Pos edgeOf(Pos pos) const { return offsetOf(pos) + (pos < size() && isBox(t.at(pos)) ? 1 : 0); }
    // The cell whose spoken characters hold `offset`, and how far into them it lies.
    Pos cellAt(Pos offset, Pos *into = nullptr) const
    {
        return t.positionAtSpoken(std::clamp<Pos>(offset, 0, count()) + base, into);
    }
    // The caret position an offset stands for: a box byte's trailing space is after it.
    Pos positionFor(Pos offset) const
    {
        Pos into = 0;
        const Pos pos = cellAt(offset, &into);
        if (into > 0 && pos < size() && into + 1 == spokenLengthOf(t.at(pos)))
            return pos + 1;
        return std::max(pos, start);
    }
    std::u32string cells(Pos from, Pos to) const { return spokenCells(t, from, to); }
    // The spoken characters [from, to).
    QString text(Pos from, Pos to) const
    {
        from = std::clamp<Pos>(from, 0, count());
        to = std::clamp<Pos>(to, from, count());
        Pos into = 0, intoEnd = 0;
        const Pos first = cellAt(from, &into);
        const Pos last = cellAt(to, &intoEnd);
        const std::u32string s = cells(first, last + (intoEnd > 0 ? 1 : 0));
        return toQString(s.substr(std::size_t(into), std::size_t(to - from)));
    }
    const LogText &t;
    const Pos start;
    const Pos base;
};

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

// --- what the log tells of its edits -------------------------------------------------------------

Pos LogView::spokenStart()
{
    const LogText &t = d->store;
    if (t.spokenSize() <= kSpokenLimit) {
        spokenFrom = 0;
    } else if (t.spokenSize() - t.spokenOffset(spokenFrom) > kSpokenLimit) {
        spokenFrom = t.positionAtSpoken(t.spokenSize() - kSpokenKept);
        // from the next paragraph when one starts soon (a line that never ends has none)
        const Pos next = t.paragraphEnd(spokenFrom) + 1;
        if (spokenFrom > 0 && t.at(spokenFrom - 1) != U'\n' && next - spokenFrom <= kBoundaryReach)
            spokenFrom = std::min(t.size(), next);
    }
    return spokenFrom;
}

LogView::Removal LogView::removedForAnnouncement(Pos from, Pos to)
{
    if (!QAccessible::isActive())
        return {};
    tellCollected();
    const Spoken s(this);
    if (from < s.start || s.offsetOf(to) - s.offsetOf(from) > kAnnounced)
        return {};
    return {true, toQString(s.cells(from, to))};
}

void LogView::announceEdit(Pos at, const Removal &removed, Pos insertedLength)
{
    if (!QAccessible::isActive() || (removed.text.isEmpty() && insertedLength == 0))
        return;
    const Spoken s(this);
    if (at < s.start || !removed.told)
        return;   // a removal too large to tell leaves the whole edit untold
    const QString inserted = toQString(s.cells(at, at + insertedLength));
    if (inserted.size() > kAnnounced)
        return;
    const int offset = int(s.offsetOf(at));
    if (!removed.text.isEmpty() && !inserted.isEmpty()) {
        QAccessibleTextUpdateEvent event(this, offset, removed.text, inserted);
        QAccessible::updateAccessibility(&event);
    } else if (!inserted.isEmpty()) {
        QAccessibleTextInsertEvent event(this, offset, inserted);
        QAccessible::updateAccessibility(&event);
    } else {
        QAccessibleTextRemoveEvent event(this, offset, removed.text);
        QAccessible::updateAccessibility(&event);
    }
}

bool LogView::collectsInsertion(Pos at, Pos length) const
{
    return QAccessible::isActive() && (collectedLength == 0 || at == collectedFrom + collectedLength) &&
           d->store.size() + length <= d->store.capacity();
}

void LogView::collectInsertion(Pos at, Pos length)
{
    if (collectedLength == 0)
        collectedFrom = at;
    collectedLength += length;
    if (announceTimer.isActive())
        return;
    const qint64 since = sinceTold.isValid() ? sinceTold.elapsed() : kAnnouncementInterval;
    if (since >= kAnnouncementInterval)
        tellCollected();
    else
        announceTimer.start(int(kAnnouncementInterval - since), this);
}

void LogView::tellCollected()
{
    announceTimer.stop();
    if (collectedLength == 0)
        return;
    const Pos from = collectedFrom, to = collectedFrom + collectedLength;
    collectedLength = 0;
    sinceTold.start();
    if (!QAccessible::isActive())
        return;
    // all but the last bytes, then the last bytes: Orca says only an insertion it can read whole
    const std::u32string last = d->store.text(std::max(from, to - kHeardTail), to);
    Pos tail = to, heard = 0;
    for (auto c = last.rbegin(); c != last.rend() && heard + spokenLengthOf(*c) <= kHeardTail; ++c) {
        heard += spokenLengthOf(*c);
        --tail;
    }
    if (tail > from)
        announceEdit(from, Removal{true, {}}, tail - from);
    announceEdit(tail, Removal{true, {}}, to - tail);
}

void LogView::tellCaret(bool moved)
{
    if (!QAccessible::isActive())
        return;
    tellCollected();
    const Spoken s(this);
    if (hasSelection() || toldSelection) {
        QAccessibleTextSelectionEvent event(this, int(s.edgeOf(std::min(caret, anchor))),
                                            int(s.edgeOf(std::max(caret, anchor))));
        event.setCursorPosition(int(s.edgeOf(caret)));
        QAccessible::updateAccessibility(&event);
        toldSelection = hasSelection();
    }
    if (moved) {
        QAccessibleTextCursorEvent event(this, int(s.edgeOf(caret)));
        QAccessible::updateAccessibility(&event);
    }
}

} // namespace logview
