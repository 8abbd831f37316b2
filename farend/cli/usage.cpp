#include "farend/cli/options.h"

namespace {

// Each mode's screen: every line under 80 columns, the relay's under 60 lines; the details
// (how replies are paired, every field and status) are in farend(1) and docs/relay.md.
#define FAREND_MANUAL "farend(1) (from a source tree: MANPATH=build/man man farend)"

const char kFarEndUsage[] =
    "Usage: farend [OPTION]... [-- COMMAND [ARG]...]\n"
    "  or:  farend --port DEVICE [OPTION]...\n"
    "  or:  farend --listen [HOST:]PORT [OPTION]...\n"
    "Be the far end of the loop-back tester's line: a device that echoes every byte\n"
    "it receives, as the microcontroller at the end of the chain does.\n"
    "\n"
    "Where it serves:\n"
    "  (default)             run the tester (or COMMAND) against a mocked COM3 whose\n"
    "                        other end is farend: the looptest next to farend, or\n"
    "                        else " LOOPTEST_INSTALL_BINDIR "/looptest; no root needed\n"
    "  --port DEVICE         serve on a serial device (a second adapter joined to\n"
    "                        COM3 by a null-modem cable) at 9600 8N1\n"
    "  --listen [HOST:]PORT  serve over raw TCP as a device server does, one\n"
    "                        connection at a time; port 0 takes a free one\n"
    "\n"
    "How its line behaves (any of them together):\n"
    "  --latency MS          delay each reply by MS milliseconds\n"
    "  --paced               pace both directions at 9600 baud 8N1, as a wire does\n"
    "  --drop PERCENT        never send this share of the replies\n"
    "  --corrupt PERCENT     flip one bit in this share of the replies\n"
    "  --silent              never answer\n"
    "  --wrong-baud RATE     answer what a UART at RATE baud makes of the bytes\n"
    "  --far-device RATE,FORMAT\n"
    "                        a far device at RATE baud in FORMAT (9600,7E1) behind\n"
    "                        a device server's port at 9600 8N1\n"
    "  --server-port RATE,FORMAT\n"
    "                        the device server's port at RATE,FORMAT before a far\n"
    "                        device at 9600 8N1\n"
    "  --hangup-after N      cut the line 20 ms after answering the Nth byte\n"
    "  --seed N              seed for the dropped and corrupted replies (default 1)\n"
    "\n"
    "  --report FILE         also write the summary's figures to FILE as JSON\n"
    "  -h, --help            show this help; after --relay or --plot, theirs\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Examples:\n"
    "  farend                          the tester against a clean far end\n"
    "  farend --far-device 9600,7E1    the tester against a far device at 7E1\n"
    "  farend --port /dev/ttyUSB1 --drop 5\n"
    "                                  a far device losing 5% of its replies\n"
    "\n"
    "On exit a summary on standard error. Exit status: 0 when stopped (Ctrl+C);\n"
    "1 when the device failed while serving; 2 for bad input, said in one line;\n"
    "with the mocked COM3, the command's status.\n"
    "\n"
    "The other modes: farend --relay --help measures a real chain in front of it\n"
    "as its COM3; farend --plot --help draws a relay's run. The whole reference:\n"
    FAREND_MANUAL " and docs/relay.md.\n";

const char kRelayUsage[] =
    "Usage: farend --relay TARGET [OPTION]...\n"
    "Make COM3 in front of a real chain, carry every byte between it and TARGET,\n"
    "and measure each echo: its round trip, the replies lost, changed or extra,\n"
    "and verdicts on what is wrong. Making /dev/COM3 needs root: run it with sudo.\n"
    "\n"
    "  --relay TARGET        a serial device (/dev/ttyUSB0), a device server over\n"
    "                        raw TCP (HOST:PORT), or over RFC 2217\n"
    "                        (rfc2217://HOST:PORT: its port follows what the\n"
    "                        tester sets on COM3, and its line errors are heard)\n"
    "  -l, --link PATH       COM3's path (default /dev/COM3), gone when farend ends\n"
    "  --owner USER          COM3's owner (default: the user who ran sudo)\n"
    "  --group GROUP         COM3's group (default dialout)\n"
    "  --mode MODE           COM3's mode, in octal (default 0660)\n"
    "  --reconnect           when TARGET goes away, wait for it again instead of\n"
    "                        ending with status 1\n"
    "  -i, --interval SECONDS\n"
    "                        a line of figures every SECONDS (default 1; 0: none)\n"
    "  -t, --time SECONDS    end after SECONDS, as Ctrl+C would\n"
    "  -c, --count N         end once N sends were echoed, changed or lost\n"
    "  --expect-clean        exit with status 3 when a reply was lost, changed or\n"
    "                        extra or a line error was reported, and 4 when\n"
    "                        nothing was tested\n"
    "  --report FILE         write the summary's figures to FILE as JSON\n"
    "  --report-stream FILE  write a JSON line an interval to FILE (\"-\": standard\n"
    "                        output), for farend --plot\n"
    "  --metrics [HOST:]PORT serve the figures to Prometheus at /metrics while it\n"
    "                        runs (HOST 127.0.0.1 by default; port 0 takes a free\n"
    "                        one, and farend says which)\n"
    "  -h, --help            show this help\n"
    "The far end's line options (--drop, --latency, ...) are refused: the relay\n"
    "changes nothing on the chain.\n"
    "\n"
    "It says when it waits for the tester to open COM3; then a line of figures a\n"
    "second on standard output, and the verdicts where they change. Ctrl+C ends it\n"
    "with a summary on standard error, whose last line is what the run came to;\n"
    "SIGUSR1 prints the summary so far, SIGQUIT (Ctrl+\\) a status line.\n"
    "Exit status: 0 when stopped; 1 when the target failed; 2 for bad input, said\n"
    "in one line; with --expect-clean 3 when not clean, 4 when nothing was tested.\n"
    "\n"
    "Examples:\n"
    "  sudo farend --relay rfc2217://192.168.1.50:2001 --expect-clean\n"
    "  sudo farend --relay 192.168.1.50:4001 -t 60 --report run.json\n"
    "  sudo farend --relay /dev/ttyUSB0 --report-stream run.jsonl\n"
    "\n"
    "How replies are paired with sends, every figure, verdict and status:\n"
    FAREND_MANUAL "\nand docs/relay.md.\n";

const char kPlotUsage[] =
    "Usage: farend --plot STREAM [-o FILE]\n"
    "Draw a relay's run as an SVG: the round trip's p50, p99 and maximum over time,\n"
    "the replies lost, changed and extra, when COM3 was closed, the runs, and the\n"
    "verdicts where they change.\n"
    "\n"
    "  --plot STREAM         the relay's --report-stream file (\"-\": standard input)\n"
    "  -o, --output FILE     write the SVG to FILE (default: standard output)\n"
    "  -h, --help            show this help\n"
    "\n"
    "Example:\n"
    "  farend --plot run.jsonl -o run.svg\n"
    "\n"
    "Exit status: 0 when drawn; 2 when the stream cannot be read or holds no\n"
    "interval, or the file cannot be written, said in one line. The whole\n"
    "reference: " FAREND_MANUAL "\nand docs/relay.md.\n";

} // namespace

const char *usage(Config::Mode mode)
{
    switch (mode) {
    case Config::Mode::Relay: return kRelayUsage;
    case Config::Mode::Plot: return kPlotUsage;
    default: return kFarEndUsage;
    }
}

const char *version()
{
    return "farend (looptest) " LOOPTEST_VERSION "\n";
}
