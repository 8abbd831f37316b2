// Text for an SVG: strings from a stream escaped as XML, widths estimated for the generic
// sans-serif face so that labels can be kept apart, numbers short.
#pragma once

#include <string>
#include <vector>

namespace plot {

// Character data or an attribute value; characters XML cannot hold become U+FFFD.
std::string xmlEscaped(const std::string &text);

// An upper estimate of the width in px of `text` at `fontPx` in a sans-serif face.
double textWidth(const std::string &text, double fontPx);

// `text` cut at a character boundary, with "..." added, so that it is at most `widthPx` wide.
std::string fitted(const std::string &text, double fontPx, double widthPx);

// `text` broken at spaces into lines at most `widthPx` wide, at most `lines` of them, the last
// fitted.
std::vector<std::string> wrapped(const std::string &text, double fontPx, double widthPx, int lines);

// A coordinate or a figure with at most `decimals` decimals and no trailing zeros.
std::string num(double v, int decimals = 1);

} // namespace plot
