// What the log tells assistive technology of its edits and its caret: every edit in spoken
// offsets, the program's insertions at the end collected and told at most every
// kAnnouncementInterval.
#include "logview/accessible.h"
#include "logview/logview.h"
#include "logview/logviewstate.h"
#include "logview/spoken.h"

#include <QAccessible>

#include <algorithm>

namespace logview {

namespace {

// Edits that remove or insert more spoken characters than this are told by no text event: Qt's
// bridge carries a change only with its text.
constexpr Pos kAnnounced = 64 * 1024;
// Orca reads no insertion longer than 1000 characters: of what was collected, the last bytes are
// told apart, at most this many spoken characters, so that they are heard.
constexpr Pos kHeardTail = 160;

} // namespace

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
