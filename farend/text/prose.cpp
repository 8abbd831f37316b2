#include "farend/text/prose.h"

#include <cstdarg>
#include <cstdio>

std::string format(const char *pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, pattern, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, pattern, again);
    va_end(again);
    return text;
}

std::string count(long long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

double shareOf(long long part, long long whole)
{
    return whole > 0 ? double(part) / double(whole) : 0;
}

double percentOf(long long part, long long whole)
{
    return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

std::string percent(double share)
{
    return format(share < 0.001 && share > 0 ? "%.2f%%" : "%.1f%%", 100 * share);
}

std::string ms(double v)
{
    const bool whole = v == static_cast<double>(static_cast<long long>(v));
    return format(v < 0.01 && !whole  ? "%.3f ms"
                  : v < 0.1 && !whole ? "%.2f ms"
                  : v < 10 && !whole  ? "%.1f ms"
                                      : "%.0f ms",
                  v);
}

std::string wrapped(const std::string &lead, const std::string &text, std::size_t indent)
{
    constexpr std::size_t kWidth = 79;
    std::string out = lead, word;
    std::size_t column = lead.size();
    auto put = [&] {
        if (word.empty())
            return;
        if (column + 1 + word.size() > kWidth && column > indent) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > 0 && out.back() != ' ') {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        word.clear();
    };
    for (char ch : text) {
        if (ch == ' ')
            put();
        else
            word += ch;
    }
    put();
    return out + "\n";
}

std::string joined(const std::vector<std::string> &items)
{
    std::string text;
    for (const std::string &i : items)
        text += (text.empty() ? "" : ", ") + i;
    return text;
}
