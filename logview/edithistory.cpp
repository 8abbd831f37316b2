#include "logview/edithistory.h"

namespace logview {

// Whether `e` continues the last edit's run, and if so joins it.
bool EditHistory::joins(const Edit &e)
{
    if (!inRun || undoStack.empty() || undoStack.back().kind != e.kind)
        return false;
    Edit &last = undoStack.back();
    switch (e.kind) {
    case EditKind::Typing:   // on from where the last insertion ended
        if (!e.removed.empty() || last.at + Pos(last.inserted.size()) != e.at)
            return false;
        last.inserted += e.inserted;
        return true;
    case EditKind::Backspace:   // the character just before what the run removed
        if (!e.inserted.empty() || e.at + Pos(e.removed.size()) != last.at)
            return false;
        last.removed.insert(0, e.removed);
        last.at = e.at;
        return true;
    case EditKind::Delete:   // the character that moved up to where the run removes
        if (!e.inserted.empty() || e.at != last.at)
            return false;
        last.removed += e.removed;
        return true;
    case EditKind::Other:
        break;
    }
    return false;
}

void EditHistory::record(Edit e)
{
    const EditKind kind = e.kind;
    if (!joins(e))
        undoStack.push_back(std::move(e));
    redoStack.clear();
    inRun = kind != EditKind::Other;
}

void EditHistory::clear()
{
    undoStack.clear();
    redoStack.clear();
    inRun = false;
}

Edit EditHistory::takeUndo()
{
    Edit e = std::move(undoStack.back());
    undoStack.pop_back();
    return e;
}

Edit EditHistory::takeRedo()
{
    Edit e = std::move(redoStack.back());
    redoStack.pop_back();
    return e;
}

} // namespace logview
