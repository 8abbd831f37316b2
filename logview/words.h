// Words in the log, for word movement, deleting by word and double-click selection. A word is a
// run of letters, digits and underscores; no rule looks further than kWordReach either way.
#pragma once

#include "logview/logtext.h"

#include <utility>

namespace logview {

constexpr Pos kWordReach = 64 * 1024;

bool isWordChar(char32_t c);
// The start of the word before `pos`, past the spaces and punctuation before it on its line.
Pos wordStart(const LogText &text, Pos pos);
// The end of the word at `pos`, and past the spaces and punctuation after it on its line.
Pos wordEnd(const LogText &text, Pos pos);
// What a double click at `pos` selects: the word there, else the one character there, else
// nothing (at a line end or the log's end).
std::pair<Pos, Pos> wordAt(const LogText &text, Pos pos);

} // namespace logview
