// Text between Qt's strings and the log's code points.
#pragma once

#include <QString>

#include <array>
#include <string>

namespace logview {

// Text as the log keeps it: code points, with every kind of line end a paragraph break.
std::u32string toChars(const QString &s);
QString fromChars(const std::u32string &s);

// What each cell shows in a row's text: its drawing's UTF-16 unit, or a hex box's placeholder.
const std::array<char16_t, 256> &cellUnits();

} // namespace logview
