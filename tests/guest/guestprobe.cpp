// What the guest test needs inside the guest besides busybox:
//   guestprobe rtt DEVICE COUNT   lone echo latency at 9600 raw: one byte out, time to its echo
//   guestprobe lines DEVICE       the modem lines the driver reports (TIOCMGET)
//   guestprobe free DEVICE        exit 0 when the port opens, takes an flock and is not exclusive
//   guestprobe run DIR CMD...     runs CMD with every signal at its default (a shell's background
//                                 job would ignore SIGINT), its standard output to DIR/out and
//                                 each line also to /dev/kmsg (stamped on the kernel's clock, as
//                                 a driver's disconnect is); DIR/pid, then DIR/status at the end
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

double nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

int openPort(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        std::fprintf(stderr, "guestprobe: %s: %s\n", path, std::strerror(errno));
    return fd;
}

int rtt(const char *path, int count)
{
    int fd = openPort(path);
    if (fd < 0)
        return 1;
    termios original, t;
    tcgetattr(fd, &original);
    t = original;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    std::vector<double> ms;
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned char out = static_cast<unsigned char>('0' + i % 10);
        const double sent = nowMs();
        if (write(fd, &out, 1) != 1) {
            std::fprintf(stderr, "guestprobe: write: %s\n", std::strerror(errno));
            return 1;
        }
        pollfd p{fd, POLLIN, 0};
        unsigned char in = 0;
        if (poll(&p, 1, 200) == 1 && read(fd, &in, 1) == 1 && in == out)
            ms.push_back(nowMs() - sent);
        else
            ++lost;
        usleep(20000);
        tcflush(fd, TCIFLUSH);
    }
    tcsetattr(fd, TCSANOW, &original);
    close(fd);
    if (ms.empty()) {
        std::printf("echoes 0 lost %d\n", lost);
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, std::size_t(q * ms.size()))]; };
    std::printf("echoes %zu lost %d median %.2f p90 %.2f max %.2f ms\n", ms.size(), lost, at(0.5),
                at(0.9), ms.back());
    return 0;
}

int lines(const char *path)
{
    int fd = openPort(path);
    if (fd < 0)
        return 1;
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0) {
        std::fprintf(stderr, "guestprobe: TIOCMGET: %s\n", std::strerror(errno));
        return 1;
    }
    const struct {
        int bit;
        const char *name;
    } names[] = {{TIOCM_RTS, "RTS"}, {TIOCM_DTR, "DTR"}, {TIOCM_CTS, "CTS"},
                 {TIOCM_DSR, "DSR"}, {TIOCM_CD, "CD"},   {TIOCM_RI, "RI"}};
    for (const auto &n : names)
        if (bits & n.bit)
            std::printf("%s ", n.name);
    std::printf("\n");
    close(fd);
    return 0;
}

int isFree(const char *path)
{
    int fd = openPort(path);
    if (fd < 0)
        return 1;
    int exclusive = 0;
    ioctl(fd, TIOCGEXCL, &exclusive);
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    if (exclusive || locked) {
        std::printf("%s%s\n", exclusive ? "exclusive mode set " : "", locked ? "flock held" : "");
        return 1;
    }
    return 0;
}

void writeFile(const std::string &path, const std::string &text)
{
    if (FILE *f = std::fopen(path.c_str(), "w")) {
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
}

int run(const std::string &dir, char **argv)
{
    int out[2];
    if (pipe(out) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                std::signal(sig, SIG_DFL);
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execvp(argv[0], argv);
        _exit(127);
    }
    close(out[1]);
    writeFile(dir + "/pid", std::to_string(child) + "\n");
    const int kmsg = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    FILE *log = std::fopen((dir + "/out").c_str(), "w");
    FILE *in = fdopen(out[0], "r");
    char line[512];
    while (std::fgets(line, sizeof line, in)) {
        std::fputs(line, log);
        std::fflush(log);
        if (kmsg >= 0) {
            const std::string record = std::string("looptest said: ") + line;
            (void)!write(kmsg, record.data(), record.size());
        }
    }
    std::fclose(log);
    int status = 0;
    waitpid(child, &status, 0);
    writeFile(dir + "/status", WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) + "\n"
                                                 : "signal " + std::to_string(WTERMSIG(status)) + "\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "rtt" && argc == 4)
        return rtt(argv[2], std::atoi(argv[3]));
    if (mode == "lines" && argc == 3)
        return lines(argv[2]);
    if (mode == "free" && argc == 3)
        return isFree(argv[2]);
    if (mode == "run" && argc >= 4)
        return run(argv[2], argv + 3);
    std::fprintf(stderr, "usage: guestprobe rtt DEVICE COUNT | lines DEVICE | free DEVICE | "
                         "run DIR CMD...\n");
    return 2;
}
