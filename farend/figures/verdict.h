// A verdict in plain words on a span of a chain's run: what went wrong, with the figures behind
// it and the next step.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

// A figure behind a verdict: a count, a measure, or nothing where it was not measured.
using FigureValue = std::variant<std::monostate, long long, double>;
struct Figure {
    std::string name;
    FigureValue value;
};
inline FigureValue measured(std::optional<double> v)
{
    return v ? FigureValue(*v) : FigureValue();
}

struct Verdict {
    std::string code;   // "clean", "lost", ...: stable, for scripts
    std::vector<Figure> figures;
    std::string text;   // one or two sentences
    std::string step = {};   // the next step, one sentence
    // Where a verdict can blame more than one place, which: "lan", "packing" (the device
    // server holding echoes back), "behind" (behind the device server or the port); else empty.
    std::string cause = {};
};
