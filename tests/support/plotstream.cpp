// Draws a relay's stream as farend's picture of a run: for the tests, the benches and the
// README's example until farend itself takes the option.
//   usage: plotstream STREAM|- [OUTPUT.svg]
#include "farend/line/tester.h"
#include "farend/plot/plot.h"

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: plotstream STREAM|- [OUTPUT.svg]\n");
        return 2;
    }
    const std::string in = argv[1];
    std::ifstream file;
    if (in != "-") {
        file.open(in);
        if (!file) {
            std::fprintf(stderr, "plotstream: %s: cannot be read\n", in.c_str());
            return 2;
        }
    }
    const plot::PlotResult r = plot::plotRun(in == "-" ? std::cin : file, plot::PlotOptions(kReadWindowMs));
    if (!r.error.empty()) {
        std::fprintf(stderr, "plotstream: %s: %s\n", in.c_str(), r.error.c_str());
        return 2;
    }
    if (argc == 3) {
        std::ofstream out(argv[2], std::ios::binary);
        if (!(out << r.svg) || !out.flush()) {
            std::fprintf(stderr, "plotstream: %s: cannot be written\n", argv[2]);
            return 2;
        }
    } else
        std::cout << r.svg;
    return 0;
}
