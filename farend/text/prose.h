// How farend words its figures, for the verdicts and the reports alike: printf into a string,
// counts with their nouns, shares and milliseconds as a sentence gives them, lines under 80
// columns.
#pragma once

#include <string>
#include <vector>

// `pattern` filled in as printf does.
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
// "1 echo", "3 echoes".
std::string count(long long n, const char *one, const char *many);
// `part` of `whole`, 0 when `whole` is; and the same in percent.
double shareOf(long long part, long long whole);
double percentOf(long long part, long long whole);
// A share as a sentence gives it: "2.2%", "0.05%" below a tenth of a percent.
std::string percent(double share);
// Milliseconds as a sentence gives them: "25 ms", "2.1 ms", "0.05 ms", "0.005 ms".
std::string ms(double v);
// `text` after `lead`, wrapped at word breaks to lines under 80 columns, the rest indented by
// `indent`; ends with a line break.
std::string wrapped(const std::string &lead, const std::string &text, std::size_t indent = 4);
// "a, b, c".
std::string joined(const std::vector<std::string> &items);
