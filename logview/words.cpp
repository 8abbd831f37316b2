#include "logview/words.h"

#include <QChar>

#include <algorithm>

namespace logview {

bool isWordChar(char32_t c)
{
    return c == U'_' || QChar::isLetterOrNumber(c);
}

Pos wordStart(const LogText &text, Pos pos)
{
    const Pos limit = std::max<Pos>(0, pos - kWordReach);
    while (pos > limit && !isWordChar(text.at(pos - 1)) && text.at(pos - 1) != U'\n')
        --pos;
    while (pos > limit && isWordChar(text.at(pos - 1)))
        --pos;
    return pos;
}

Pos wordEnd(const LogText &text, Pos pos)
{
    const Pos limit = std::min(text.size(), pos + kWordReach);
    while (pos < limit && isWordChar(text.at(pos)))
        ++pos;
    while (pos < limit && !isWordChar(text.at(pos)) && text.at(pos) != U'\n')
        ++pos;
    return pos;
}

std::pair<Pos, Pos> wordAt(const LogText &text, Pos pos)
{
    Pos from = pos, to = pos;
    const Pos lo = std::max<Pos>(0, pos - kWordReach), hi = std::min(text.size(), pos + kWordReach);
    if (pos < text.size() && isWordChar(text.at(pos))) {
        while (from > lo && isWordChar(text.at(from - 1)))
            --from;
        while (to < hi && isWordChar(text.at(to)))
            ++to;
    } else if (pos < text.size() && text.at(pos) != U'\n') {
        to = pos + 1;
    }
    return {from, to};
}

} // namespace logview
