// The operator's edits, for undo and redo. A run of typing, of backspacing or of deleting
// forwards is one edit: each keystroke that continues the run where the last one left it joins
// it. Anything else (another kind of edit, a caret moved, a selection made) ends the run.
#pragma once

#include "logview/logtext.h"

#include <string>
#include <vector>

namespace logview {

enum class EditKind { Typing, Backspace, Delete, Other };

// [at, at + removed) was replaced with `inserted`; the caret and anchor as they were before.
struct Edit {
    Pos at = 0;
    std::u32string removed, inserted;
    Pos caretBefore = 0, anchorBefore = 0;
    EditKind kind = EditKind::Other;
};

class EditHistory {
public:
    bool canUndo() const { return !undoStack.empty(); }
    bool canRedo() const { return !redoStack.empty(); }

    // An edit as it was applied: joins the last one when it continues the same run, and what
    // could be redone is forgotten.
    void record(Edit e);
    // Forgets everything, when the text the history points at has changed under it.
    void clear();
    // The next edit starts a new entry.
    void endRun() { inRun = false; }

    // Undo takes the last edit; once its reverse is applied, `undone` keeps it for redo.
    // Redo takes that back, and `redone` keeps it for undo. Both require an edit to be there.
    Edit takeUndo();
    void undone(Edit e) { redoStack.push_back(std::move(e)); }
    Edit takeRedo();
    void redone(Edit e) { undoStack.push_back(std::move(e)); }

private:
    bool joins(const Edit &e);

    std::vector<Edit> undoStack, redoStack;
    bool inRun = false;
};

} // namespace logview
