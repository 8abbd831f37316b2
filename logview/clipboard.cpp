// The clipboard and the X11 primary selection.
#include "logview/logview.h"
#include "logview/logviewstate.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>

#include <algorithm>
#include <cstdlib>

namespace logview {

namespace {

// Selections up to this size go to the X11 primary selection at once; larger ones are read
// from the log when another program asks for them.
constexpr Pos kEagerSelection = Pos(4) << 20;

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
    caret = d->store.size();
    caretAtRowEnd = false;
    d->history.endRun();
    caretMoved();
    selectionChanged();
}

} // namespace logview
