// farend: runs the tester against a simulated far end on a mocked COM3. No hardware, no root.
#include "farend/link.h"

#include <umockdev.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char usage[] =
    "Usage: farend [OPTION]... [-- COMMAND [ARG]...]\n"
    "Run the loop-back tester (or COMMAND) against a simulated far end on a mocked COM3.\n"
    "The far end echoes every byte it receives, as the device at the end of the chain does.\n"
    "\n"
    "  --latency MS       delay each reply by MS milliseconds (a USB adapter's latency\n"
    "                     timer is 16 by default); fractions allowed\n"
    "  --paced            pace both directions at 9600 baud 8N1 (1.04 ms a byte each way),\n"
    "                     bytes queued behind each other as on a wire\n"
    "  --drop PERCENT     never send this share of the replies\n"
    "  --corrupt PERCENT  flip one bit in this share of the replies\n"
    "  --silent           never answer\n"
    "  --hangup-after N   hang up the line 20 ms after answering the Nth byte received\n"
    "  --seed N           seed for choosing dropped and corrupted replies (default 1)\n"
    "  --help             show this help and exit\n"
    "\n"
    "COMMAND runs with /dev/COM3 mocked (umockdev): it sees a serial terminal whose other end\n"
    "is this far end. Without COMMAND, the looptest program next to farend runs, or\n"
    "else the installed one (" LOOPTEST_INSTALL_BINDIR "/looptest).\n"
    "On exit farend prints one summary line on standard error: bytes received and sent, the\n"
    "time from the first byte received to the last, and\n"
    "whether what it received was exactly the test cycle \"0\"...\"9\", \"A\"...\"Z\" from \"0\"\n"
    "(\"nothing arrived\" when it received no byte at all).\n"
    "Its exit status is the command's (128 + signal number if the command was killed).\n";

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

double nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

bool parseNumber(const char *text, double min, double max, double &out)
{
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno || end == text || *end || v < min || v > max)
        return false;
    out = v;
    return true;
}

[[noreturn]] void badUsage(const std::string &message)
{
    std::fprintf(stderr, "farend: %s\nTry 'farend --help'.\n", message.c_str());
    std::exit(2);
}

// The tester next to farend (the build tree, or the same bindir), else the installed one.
std::string defaultCommand()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::string path(self);
        path = path.substr(0, path.rfind('/') + 1) + "looptest";
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return LOOPTEST_INSTALL_BINDIR "/looptest";
}

} // namespace

int main(int argc, char **argv)
{
    LinkOptions opt;
    std::vector<std::string> command;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](double min, double max) {
            double v;
            if (i + 1 >= argc || !parseNumber(argv[i + 1], min, max, v))
                badUsage("option " + a + " needs a number from " + std::to_string((long long)min) +
                         " to " + std::to_string((long long)max));
            ++i;
            return v;
        };
        if (a == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--latency") {
            opt.latencyMs = value(0, 60000);
        } else if (a == "--paced") {
            opt.paced = true;
        } else if (a == "--drop") {
            opt.dropPercent = value(0, 100);
        } else if (a == "--corrupt") {
            opt.corruptPercent = value(0, 100);
        } else if (a == "--silent") {
            opt.silent = true;
        } else if (a == "--hangup-after") {
            opt.hangupAfter = static_cast<long long>(value(0, 1e15));
        } else if (a == "--seed") {
            opt.seed = static_cast<std::uint32_t>(value(0, 4294967295.0));
        } else if (a == "--") {
            for (++i; i < argc; ++i)
                command.emplace_back(argv[i]);
        } else {
            badUsage("unknown option " + a);
        }
    }
    if (command.empty())
        command.push_back(defaultCommand());

    prctl(PR_SET_TIMERSLACK, 1UL);   // pacing works in microseconds

    UMockdevTestbed *testbed = umockdev_testbed_new();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed,
                                          "P: /devices/virtual/tty/COM3\n"
                                          "N: COM3\n"
                                          "E: DEVNAME=/dev/COM3\n"
                                          "E: SUBSYSTEM=tty\n",
                                          &error)) {
        std::fprintf(stderr, "farend: cannot mock COM3: %s\n", error ? error->message : "?");
        return 2;
    }
    const int line = umockdev_testbed_get_dev_fd(testbed, "/dev/COM3");
    if (line < 0) {
        std::fprintf(stderr, "farend: the mocked COM3 has no terminal\n");
        return 2;
    }
    // only we hold the line: when we cut it, the tester sees the hang-up
    fcntl(line, F_SETFD, fcntl(line, F_GETFD) | FD_CLOEXEC);
    fcntl(line, F_SETFL, fcntl(line, F_GETFL) | O_NONBLOCK);

    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string preload = "libumockdev-preload.so.0";
    if (const char *old = std::getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;

    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const pid_t child = fork();
    if (child < 0) {
        std::perror("farend: fork");
        return 2;
    }
    if (child == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        setenv("UMOCKDEV_DIR", root, 1);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        std::vector<char *> args;
        for (auto &c : command)
            args.push_back(c.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "farend: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }

    Link link(opt);
    bool lineUp = true;
    int status = 0;
    bool forwarded = false;
    for (;;) {
        if (stopRequested && !forwarded) {
            kill(child, SIGTERM);
            forwarded = true;
        }
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;

        double now = nowMs();
        if (lineUp) {
            const std::string due = link.takeDue(now);
            if (!due.empty() && write(line, due.data(), due.size()) < 0 && errno != EAGAIN)
                lineUp = false;
            if (link.hangupDue(now)) {
                int null = open("/dev/null", O_RDWR | O_CLOEXEC);
                dup2(null, line);   // closes our end: the tester's terminal hangs up
                close(null);
                lineUp = false;
            }
        }

        // wake for the next reply, or now and then to notice the command's end
        double wait = 50;
        const double next = link.nextDueMs();
        if (lineUp && next >= 0)
            wait = std::min(wait, std::max(0.0, next - nowMs()));
        timespec timeout{static_cast<time_t>(wait / 1000),
                         static_cast<long>(std::fmod(wait, 1000.0) * 1e6)};
        pollfd p{lineUp ? line : -1, POLLIN, 0};
        int r = ppoll(&p, 1, &timeout, nullptr);
        if (r > 0 && (p.revents & POLLIN)) {
            unsigned char buf[512];
            ssize_t n = read(line, buf, sizeof buf);
            const double at = nowMs();
            for (ssize_t k = 0; k < n; ++k)
                link.received(buf[k], at);
        } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
            // the tester has closed its end; wait for it without spinning
            struct timespec pause {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }

    std::fprintf(stderr, "%s\n", link.summary().c_str());
    g_free(root);
    g_object_unref(testbed);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}
