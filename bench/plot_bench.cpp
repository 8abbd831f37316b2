// What drawing a day of a relay's run costs: 86,400 one-second interval records, as the relay
// writes them, read and drawn; the time, the picture's size and the resident memory. Once with
// verdicts that change now and then, once with verdicts that change every interval; then the
// first day as a user draws it, `farend --plot` on a stream file, with its peak memory.
//   usage: plot_bench [DAY.svg]
#include "bench/stats.h"
#include "farend/line/tester.h"
#include "farend/plot/plot.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using nlohmann::json;

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

json verdict(const char *code, const std::string &text)
{
    return {{"code", code}, {"figures", {{"late", 12}, {"share", 0.12}}}, {"text", text}};
}

// A day at 100 bytes a second: round trips around 3 ms with tails, a loss now and then, an
// hour with COM3 closed, the verdicts changing every `flap` intervals.
std::string dayStream(int flap)
{
    std::mt19937 random(1);
    std::lognormal_distribution<double> p50(std::log(3.0), 0.2);
    std::uniform_real_distribution<double> u(0, 1);
    std::ostringstream s;
    s << json{{"type", "start"}, {"format", 3}, {"link", "/dev/COM3"},
              {"target", "rfc2217://192.0.2.7:2217"}, {"target_kind", "RFC 2217"},
              {"interval_s", 1.0}}
      << '\n'
      << json{{"type", "run"}, {"run", 1}, {"at_s", 0.0}, {"settings", "9600 8N1"}} << '\n';
    const std::string late = "late: 12.0% of echoes miss the tester's 5 ms read; the LAN accounts "
                             "for 0.4 ms of the 3.1 ms median, so the time goes behind the device "
                             "server";
    for (int i = 0; i < 86400; ++i) {
        const bool open = i < 40000 || i >= 43600;
        const double median = p50(random), tail = median * (u(random) < 0.01 ? 100 : 2);
        const int lost = open && u(random) < 0.01 ? 1 + static_cast<int>(u(random) * 5) : 0;
        json r = {{"type", "interval"}, {"from_s", i * 1.0}, {"to_s", i + 1.0},
                  {"to_chain", open ? 100 : 0}, {"from_chain", open ? 100 - lost : 0},
                  {"sends", open ? 100 : 0}, {"echoed", open ? 100 - lost : 0}, {"lost", lost},
                  {"changed", 0}, {"extra", 0}, {"late", 12}, {"com3_open", open},
                  {"line_errors", nullptr}};
        json verdicts = json::array();
        if (!open)
            verdicts.push_back(verdict("idle", "idle: nothing was sent to the chain"));
        else {
            if (lost)
                verdicts.push_back(verdict("lost", "lost " + std::to_string(lost) + " echoes"));
            if ((i / flap) % 2)
                verdicts.push_back(verdict("late", late));
        }
        r["verdicts"] = verdicts;
        r["round_trip_ms"] = open ? json{{"p50", median}, {"p99", tail}, {"max", tail * 1.1}} : json();
        s << r << '\n';
    }
    s << json{{"type", "end"}, {"elapsed_s", 86400.0}, {"runs", 1}, {"sends", 8280000}} << '\n';
    return s.str();
}

void bench(const char *what, int flap, const char *keep)
{
    const std::string stream = dayStream(flap);
    std::vector<double> ms;
    size_t bytes = 0;
    int columns = 0, changes = 0;
    for (int i = 0; i < 5; ++i) {
        std::istringstream in(stream);
        const double start = nowMs();
        const plot::PlotResult r = plot::plotRun(in, plot::PlotOptions(kReadWindowMs));
        ms.push_back(nowMs() - start);
        bytes = r.svg.size();
        columns = r.geometry.columns;
        changes = r.geometry.verdictChanges;
        if (keep && i == 0)
            if (FILE *f = std::fopen(keep, "w")) {
                std::fwrite(r.svg.data(), 1, r.svg.size(), f);
                std::fclose(f);
            }
    }
    std::printf("a day of 1 s intervals, %s: stream %.1f MiB, plot median %.0f ms max %.0f ms, "
                "SVG %.1f KiB (%d columns, %d verdict changes), resident %.1f MiB\n",
                what, stream.size() / 1048576.0, percentile(ms, 50), percentile(ms, 100),
                bytes / 1024.0, columns, changes, residentBytes() / 1048576.0);
}

// farend --plot on the first day's stream, written to a file: the wall time and peak memory.
void benchFarend()
{
    char dir[] = "/tmp/plot_bench.XXXXXX";
    if (!mkdtemp(dir))
        return;
    const std::string stream = std::string(dir) + "/day.jsonl", svg = std::string(dir) + "/day.svg";
    std::ofstream(stream) << dayStream(1800);
    const double start = nowMs();
    const pid_t child = fork();
    if (child == 0) {
        execl(FAREND_BINARY, "farend", "--plot", stream.c_str(), "-o", svg.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    std::printf("farend --plot on that day's stream file: %s in %.0f ms, peak resident %.1f MiB\n",
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "drawn" : "FAILED",
                nowMs() - start, usage.ru_maxrss / 1024.0);
    std::remove(stream.c_str());
    std::remove(svg.c_str());
    rmdir(dir);
}

} // namespace

// With a file name, the first day's picture is kept there.
int main(int argc, char **argv)
{
    bench("verdicts changing every 30 min", 1800, argc > 1 ? argv[1] : nullptr);
    bench("verdicts changing every interval", 1, nullptr);
    benchFarend();
    return 0;
}
