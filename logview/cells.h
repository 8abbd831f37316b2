// How the log keeps its characters: one byte a character for everything the program inserts.
//
// A received byte is shown as one of 255 fixed drawings (0x00 shows as nothing), so the log
// stores the byte's code instead of the drawing. The operator's own typing may be any
// character: the few that are not a drawing are kept in a side table behind an escape code.
#pragma once

#include <cstdint>

namespace logview {

using Cell = std::uint8_t;

constexpr Cell kBreakCell = 0x00;         // a paragraph break (0x00 itself is never drawn)
constexpr Cell kReplacementCell = 0x80;   // every byte drawn as U+FFFD
constexpr Cell kForeignCell = 0xFF;       // a character kept in the side table

// How a received byte is drawn: printable ASCII as itself, 0xA1-0xDF as the half-width
// katakana they are in Shift-JIS, control codes as their Unicode control pictures, any other
// byte as U+FFFD. 0x00 draws as nothing (returns 0).
constexpr char32_t byteDrawing(std::uint8_t byte)
{
    if (byte == 0x00)
        return 0;
    if (byte >= 0x20 && byte <= 0x7E)
        return byte;
    if (byte >= 0xA1 && byte <= 0xDF)
        return 0xFF61 + (byte - 0xA1);
    if (byte < 0x20)
        return 0x2400 + byte;
    if (byte == 0x7F)
        return 0x2421;
    return 0xFFFD;
}

// The cell that keeps `c`: its byte when it is a drawing, kBreakCell for '\n', otherwise
// kForeignCell.
constexpr Cell cellOf(char32_t c)
{
    if (c >= 0x20 && c <= 0x7E)
        return static_cast<Cell>(c);
    if (c == U'\n')
        return kBreakCell;
    if (c >= 0xFF61 && c <= 0xFF9F)
        return static_cast<Cell>(0xA1 + (c - 0xFF61));
    if (c >= 0x2401 && c <= 0x241F)
        return static_cast<Cell>(c - 0x2400);
    if (c == 0x2421)
        return 0x7F;
    if (c == 0xFFFD)
        return kReplacementCell;
    return kForeignCell;
}

// The character a cell other than kForeignCell stands for ('\n' for a break).
constexpr char32_t cellChar(Cell cell)
{
    return cell == kBreakCell ? U'\n' : byteDrawing(cell);
}

} // namespace logview
