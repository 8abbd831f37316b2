#include "farend/plot/svgtext.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace plot {

namespace {

constexpr const char *kReplacement = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence that starts with byte `c` (1 for a stray byte).
size_t sequenceLength(unsigned char c)
{
    return c >= 0xF0 && c < 0xF8 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
}

// Advances in em, each at or a little over DejaVu Sans's, the widest of the common sans faces.
double charWidth(unsigned char c)
{
    if (c >= 0x80)
        return 1.0;   // wide scripts count full
    if (std::strchr("ijlI.,:;'!| ", c))
        return 0.34;
    if (std::strchr("ftr()[]-", c))
        return 0.43;
    if (std::strchr("csz", c))
        return 0.56;
    if (std::strchr("mwMW%@&", c))
        return 1.0;
    if (c >= 'A' && c <= 'Z')
        return 0.78;
    return 0.65;
}

} // namespace

std::string xmlEscaped(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = text[i];
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)
                out += kReplacement;
            else if (c == 0xEF && text.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < text.size() &&
                     (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
                out += kReplacement;   // U+FFFE and U+FFFF
                i += 2;
            } else
                out += static_cast<char>(c);
        }
    }
    return out;
}

double textWidth(const std::string &text, double fontPx)
{
    double em = 0;
    for (size_t i = 0; i < text.size(); i += sequenceLength(text[i]))
        em += charWidth(text[i]);
    return em * fontPx;
}

std::string fitted(const std::string &text, double fontPx, double widthPx)
{
    const double room = widthPx - textWidth("...", fontPx);
    double used = 0;
    size_t i = 0;
    while (i < text.size()) {
        const double w = charWidth(text[i]) * fontPx;
        if (used + w > room)
            break;
        used += w;
        i += sequenceLength(text[i]);
    }
    if (i >= text.size() || textWidth(text.substr(i), fontPx) + used <= widthPx)
        return text;
    return text.substr(0, i) + "...";
}

std::vector<std::string> wrapped(const std::string &text, double fontPx, double widthPx, int lines)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (static_cast<int>(out.size()) + 1 < lines) {
        size_t cut = std::string::npos, i = start;
        double used = 0;
        for (; i < text.size() && used <= widthPx; i += sequenceLength(text[i])) {
            if (text[i] == ' ')
                cut = i;
            used += charWidth(text[i]) * fontPx;
        }
        if (used <= widthPx || cut == std::string::npos || cut == start)
            break;   // the rest fits, or one word is wider than the line: fitted below
        out.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
    out.push_back(fitted(text.substr(std::min(start, text.size())), fontPx, widthPx));
    return out;
}

std::string num(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    std::string s = buf;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0')
            s.pop_back();
        if (s.back() == '.')
            s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

} // namespace plot
