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

#include <memory>
#include <vector>

namespace logview {

struct LogView::State {
    explicit State(Pos capacity) : store(capacity), wrap(store) {}

    LogText store;
    LogWrap wrap;
    std::unique_ptr<HexBox> hexBox;
    RowLayouts layouts;
    EditHistory history;
    QList<QTextLayout::FormatRange> preeditFormats;   // how the text being composed is marked
};

} // namespace logview
