#include "logview/chars.h"

#include "logview/cells.h"

namespace logview {

const std::array<char16_t, 256> &cellUnits()
{
    static const std::array<char16_t, 256> units = [] {
        std::array<char16_t, 256> u{};
        for (int c = 0; c < 256; ++c)
            u[c] = isHexBoxByte(static_cast<std::uint8_t>(c))
                       ? kPlaceholder
                       : static_cast<char16_t>(cellChar(static_cast<Cell>(c)));
        return u;
    }();
    return units;
}

std::u32string toChars(const QString &s)
{
    std::u32string out;
    out.reserve(std::size_t(s.size()));
    for (qsizetype i = 0; i < s.size(); ++i) {
        char32_t c = s[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(s[i], s[i + 1]);
            ++i;
        } else if (c == u'\r') {
            if (i + 1 < s.size() && s[i + 1] == u'\n')
                ++i;
            c = U'\n';
        } else if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) {
            c = U'\n';
        }
        out.push_back(c);
    }
    return out;
}

QString fromChars(const std::u32string &s)
{
    return QString::fromUcs4(s.data(), qsizetype(s.size()));
}

} // namespace logview
