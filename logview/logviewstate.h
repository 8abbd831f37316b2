// What LogView keeps behind its header: the text, the rows on screen, their layouts and the
// edit history. Only the widget's own sources include this.
#pragma once

#include "logview/edithistory.h"
#include "logview/hexbox.h"
#include "logview/logtext.h"
#include "logview/logview.h"
#include "logview/logwrap.h"
#include "logview/rowlayout.h"

#include <QList>
#include <QTextLayout>

#include <array>
#include <memory>
#include <vector>

namespace logview {

// What the program's edits left for LogView::showEdits() while the screen work is deferred.
struct ScreenWork {
    bool any() const { return all || from >= 0 || caret; }
    bool all = false;       // every row is drawn anew
    Pos from = -1;          // the rows from the one starting here may have changed (-1: none)
    Pos edit = -1;          // where the text first changed
    bool appended = true;   // every edit added text at the log's end
    std::array<Row, 2> above{};   // the rows from `from` to the edit's, as the screen shows them
    std::size_t aboveCount = 0;
    bool caret = false;     // the caret is brought into view and drawn where it now is
};

struct LogView::State {
    explicit State(Pos capacity) : store(capacity), wrap(store) {}

    LogText store;
    LogWrap wrap;
    std::unique_ptr<HexBox> hexBox;
    RowLayouts layouts;
    EditHistory history;
    QList<QTextLayout::FormatRange> preeditFormats;   // how the text being composed is marked
    ScreenWork deferred;
};

} // namespace logview
