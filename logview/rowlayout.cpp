#include "logview/rowlayout.h"

#include "logview/chars.h"
#include "logview/cells.h"

#include <QTextOption>

#include <algorithm>

namespace logview {

RowText::RowText(const LogText &store, const Row &r, bool withBoxes) : row(r)
{
    text.reserve(qsizetype(row.end - row.start));
    const auto &units = cellUnits();
    for (Pos pos = row.start; pos < row.end;) {
        LogText::Chunk c = store.chunkAt(pos);
        const Pos n = std::min(c.length, row.end - pos);
        for (Pos k = 0; k < n; ++k) {
            const char32_t ch = c.sideChar(k);
            if (!ch) {
                const char16_t u = units[c.cells[k]];
                if (u == kPlaceholder && withBoxes)
                    boxes.push_back({int(text.size()), c.cells[k]});
                text.append(QChar(u));
                continue;
            }
            if (QChar::requiresSurrogates(ch)) {
                wide.push_back(pos + k);
                text.append(QChar(QChar::highSurrogate(ch)));
                text.append(QChar(QChar::lowSurrogate(ch)));
            } else {
                text.append(QChar(char16_t(ch)));
            }
        }
        pos += n;
    }
}

int RowText::indexOf(Pos pos) const
{
    const auto before = std::lower_bound(wide.begin(), wide.end(), pos) - wide.begin();
    return int(pos - row.start + before);
}

Pos RowText::positionAt(int index) const
{
    Pos pos = row.start + index;
    for (Pos w : wide)
        if (indexOf(w) < index)
            --pos;
    return std::min(pos, row.end);
}

void layOutRow(QTextLayout &layout)
{
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(kTabStop);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLeadingIncluded(true);
    line.setPosition(QPointF(0, 0));
    layout.endLayout();
}

QTextLayout *RowLayouts::layoutFor(const QString &text, const QFont &font)
{
    auto it = layouts.find(text);
    if (it != layouts.end()) {
        it->frame = frame;
        return it->layout.get();
    }
    auto layout = std::make_shared<QTextLayout>(text, font);
    layout->setCacheEnabled(true);
    layOutRow(*layout);
    layouts.insert(text, {layout, frame, {}});
    return layout.get();
}

void RowLayouts::endFrame()
{
    for (auto it = layouts.begin(); it != layouts.end();)
        it = it->frame == frame ? std::next(it) : layouts.erase(it);
}

} // namespace logview
