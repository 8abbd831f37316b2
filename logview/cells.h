// How the log keeps its characters: one byte a character for everything the program inserts.
//
// A received byte stands for one of 255 fixed characters (0x00 stands for nothing), so the log
// stores the byte's code instead of the character. The operator's own typing may be any
// character: the few that are not a byte's are kept in a side table behind an escape code.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace logview {

using Cell = std::uint8_t;
using Pos = std::int64_t;   // a position in the log, counting characters

constexpr Cell kBreakCell = 0x00;     // a paragraph break (0x00 itself is never shown)
constexpr Cell kForeignCell = 0xFF;   // received 0xFF, or a character kept in the side table

// Bytes that no font shows: control codes and the bytes that are no Shift-JIS character on
// their own. The program draws them as a hex box (logview/hexbox.h).
constexpr bool isHexBoxByte(std::uint8_t byte)
{
    return (byte >= 0x01 && byte < 0x20) || (byte >= 0x7F && (byte <= 0xA0 || byte >= 0xE0));
}

namespace detail {
// "0x00" ... "0xFF", four characters each.
struct HexNames {
    std::array<std::array<char, 4>, 256> text{};
    constexpr HexNames()
    {
        constexpr char digits[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b)
            text[std::size_t(b)] = {'0', 'x', digits[b >> 4], digits[b & 15]};
    }
};
inline constexpr HexNames kHexNames{};
inline constexpr std::string_view kControlNames[32] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
} // namespace detail

// What a screen reader is given for a byte drawn as a hex box: its control name ("SOH" ... "US",
// "DEL") or its value ("0x80" ... "0xFF"); empty for any other byte.
constexpr std::string_view boxName(std::uint8_t byte)
{
    if (!isHexBoxByte(byte))
        return {};
    if (byte < 0x20)
        return detail::kControlNames[byte];
    if (byte == 0x7F)
        return "DEL";
    return std::string_view(detail::kHexNames.text[byte].data(), 4);
}

// How many characters a cell takes in the text a screen reader is given: a box byte its name
// with a space on each side, so that it never runs into what stands beside it; anything else
// one. (A kForeignCell listed in a side table is one character, not received 0xFF.)
constexpr int spokenLength(Cell cell)
{
    return isHexBoxByte(cell) ? int(boxName(cell).size()) + 2 : 1;
}

// Where a hex box stands in laid-out text: a space one em wide, which every Japanese face has.
constexpr char16_t kPlaceholder = 0x3000;

// The character a received byte stands for in text (copy, paste, assistive technology):
// printable ASCII as itself, 0xA1-0xDF as the half-width katakana they are in Shift-JIS,
// control codes as their Unicode control pictures (U+2401-U+241F, U+2421 for 0x7F), the other
// bytes as the private-use character U+F700 plus the byte. 0x00 stands for nothing (returns 0).
constexpr char32_t byteChar(std::uint8_t byte)
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
    return 0xF700 + byte;
}

// The byte `c` stands for, or -1 when it is no byte's character.
constexpr int byteOf(char32_t c)
{
    if (c >= 0x20 && c <= 0x7E)
        return int(c);
    if (c >= 0xFF61 && c <= 0xFF9F)
        return int(0xA1 + (c - 0xFF61));
    if (c >= 0x2401 && c <= 0x241F)
        return int(c - 0x2400);
    if (c == 0x2421)
        return 0x7F;
    if ((c >= 0xF780 && c <= 0xF7A0) || (c >= 0xF7E0 && c <= 0xF7FF))
        return int(c - 0xF700);
    return -1;
}

// The cell that keeps `c`: its byte when it is a byte's character, kBreakCell for '\n',
// otherwise kForeignCell, which is also received 0xFF's: the side table tells them apart.
constexpr Cell cellOf(char32_t c)
{
    if (c == U'\n')
        return kBreakCell;
    const int byte = byteOf(c);
    return byte > 0 ? static_cast<Cell>(byte) : kForeignCell;
}

// The character a cell stands for ('\n' for a break) when the side table does not list it.
constexpr char32_t cellChar(Cell cell)
{
    return cell == kBreakCell ? U'\n' : byteChar(cell);
}

} // namespace logview
