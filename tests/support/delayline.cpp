// A LAN with delay and loss that a test inserts, carried in user space since the kernel may have
// no netem: two network namespaces made here, each with a point-to-point TUN device `lan0`
// (near 198.18.0.1, far 198.18.0.2, from the range set aside for benchmarking), and this process
// moving each IP packet from one device to the other after a delay, dropping a seeded share.
// Both kernels' TCP see a real link: Nagle, delayed acknowledgements and retransmissions behave
// as on a LAN.
//
//   usage: delayline [--delay MS] [--jitter MS] [--loss PERCENT] [--seed N]
//
//   --delay MS        each packet waits MS milliseconds each way (fractions allowed; default 0)
//   --jitter MS       plus or minus up to MS more, uniform; a packet never overtakes the one
//                     before it in its direction
//   --loss PERCENT    drop this share of the packets, each direction on its own
//   --seed N          seeds the drops and the jitter (default 1): the same packets in the same
//                     order meet the same fate
//
// Needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN). Prints "near PATH 198.18.0.1" and
// "far PATH 198.18.0.2" (PATH is for `nsenter --net=PATH`), then "ready". Ends on SIGTERM,
// SIGINT, SIGHUP or when its parent dies, and then prints each direction's counts on standard
// error; the namespaces go when the last process in them does.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <getopt.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {
const char *const nearAddress = "198.18.0.1";
const char *const farAddress = "198.18.0.2";
const size_t queueLimit = 4096;   // packets held per direction; past it they are dropped

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "delayline: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

int64_t nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void setAddress(int s, ifreq &r, unsigned long request, const char *address)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    std::memcpy(&r.ifr_addr, &a, sizeof a);
    if (ioctl(s, request, &r) != 0)
        fail(std::string("setting an address of ") + r.ifr_name);
}

void bringUp(int s, const char *name)
{
    ifreq r{};
    std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &r) != 0)
        fail(std::string("reading the flags of ") + name);
    r.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (ioctl(s, SIOCSIFFLAGS, &r) != 0)
        fail(std::string("bringing up ") + name);
}

struct Side {
    int ns = -1;
    int tun = -1;
};

// A new network namespace with loopback up and `lan0` from `self` to `peer`; this process stays in it.
Side makeSide(const char *self, const char *peer)
{
    Side side;
    if (unshare(CLONE_NEWNET) != 0)
        fail("unshare(CLONE_NEWNET) (needs root)");
    side.ns = open("/proc/self/ns/net", O_RDONLY);
    side.tun = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (side.ns < 0 || side.tun < 0)
        fail("opening the namespace or /dev/net/tun");
    ifreq r{};
    std::strncpy(r.ifr_name, "lan0", IFNAMSIZ - 1);
    r.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (ioctl(side.tun, TUNSETIFF, &r) != 0)
        fail("TUNSETIFF");
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        fail("socket");
    setAddress(s, r, SIOCSIFADDR, self);
    setAddress(s, r, SIOCSIFDSTADDR, peer);
    // IPv4 only, so that nothing but the test's own traffic crosses the line
    if (const int f = open("/proc/sys/net/ipv6/conf/lan0/disable_ipv6", O_WRONLY | O_CLOEXEC); f >= 0) {
        (void)!write(f, "1", 1);
        close(f);
    }
    bringUp(s, "lan0");
    bringUp(s, "lo");
    close(s);
    return side;
}

struct Packet {
    int64_t due;
    std::vector<char> bytes;
};

// One direction of the line: what is read from `from` is written to `to` when due.
struct Direction {
    const char *name;
    int from, to;
    std::mt19937_64 random;
    std::deque<Packet> queue;
    uint64_t forwarded = 0, dropped = 0, overflowed = 0;

    Direction(const char *name, int from, int to, uint64_t seed)
        : name(name), from(from), to(to), random(seed)
    {
    }

    void take(int64_t delayNs, int64_t jitterNs, double loss)
    {
        char buf[65536];
        for (;;) {
            const ssize_t n = read(from, buf, sizeof buf);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            if (n < 0)
                fail(std::string("reading ") + name);
            // both draws for every packet, so that one packet's fate does not shift the next's
            const double u = std::uniform_real_distribution<double>(0, 1)(random);
            const double j = std::uniform_real_distribution<double>(-1, 1)(random);
            if (u < loss) {
                ++dropped;
                continue;
            }
            if (queue.size() >= queueLimit) {
                ++overflowed;
                continue;
            }
            int64_t due = nowNs() + std::max<int64_t>(0, delayNs + int64_t(j * jitterNs));
            if (!queue.empty())
                due = std::max(due, queue.back().due);
            queue.push_back({due, std::vector<char>(buf, buf + n)});
        }
    }

    void give(int64_t now)
    {
        while (!queue.empty() && queue.front().due <= now) {
            const auto &p = queue.front().bytes;
            // a TUN device takes a whole packet or none; one it refuses is lost, as on a wire
            if (write(to, p.data(), p.size()) == ssize_t(p.size()))
                ++forwarded;
            else
                ++dropped;
            queue.pop_front();
        }
    }
};
} // namespace

int main(int argc, char **argv)
{
    double delayMs = 0, jitterMs = 0, lossPercent = 0;
    unsigned long seed = 1;
    const option options[] = {{"delay", required_argument, nullptr, 'd'},
                              {"jitter", required_argument, nullptr, 'j'},
                              {"loss", required_argument, nullptr, 'l'},
                              {"seed", required_argument, nullptr, 's'},
                              {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        char *end = nullptr;
        const double v = c == '?' ? -1 : std::strtod(optarg, &end);
        if (v < 0 || *end || (c == 'l' && v > 100)) {
            std::fprintf(stderr, "usage: delayline [--delay MS] [--jitter MS] [--loss PERCENT] "
                                 "[--seed N]\n");
            return 2;
        }
        switch (c) {
        case 'd': delayMs = v; break;
        case 'j': jitterMs = v; break;
        case 'l': lossPercent = v; break;
        case 's': seed = static_cast<unsigned long>(v); break;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "delayline: unexpected argument %s\n", argv[optind]);
        return 2;
    }

    // the line lives no longer than whatever started it
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stops, s);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int stopFd = signalfd(-1, &stops, SFD_CLOEXEC);
    if (stopFd < 0)
        fail("signalfd");

    const Side nearSide = makeSide(nearAddress, farAddress);
    const Side farSide = makeSide(farAddress, nearAddress);
    std::printf("near /proc/%d/fd/%d %s\nfar /proc/%d/fd/%d %s\nready\n", getpid(), nearSide.ns,
                nearAddress, getpid(), farSide.ns, farAddress);
    std::fflush(stdout);

    const int64_t delayNs = int64_t(delayMs * 1e6), jitterNs = int64_t(jitterMs * 1e6);
    const double loss = lossPercent / 100;
    Direction ways[2] = {{"near->far", nearSide.tun, farSide.tun, seed * 2},
                         {"far->near", farSide.tun, nearSide.tun, seed * 2 + 1}};
    for (;;) {
        pollfd fds[3] = {{nearSide.tun, POLLIN, 0}, {farSide.tun, POLLIN, 0}, {stopFd, POLLIN, 0}};
        int64_t next = -1;
        for (const auto &w : ways)
            if (!w.queue.empty() && (next < 0 || w.queue.front().due < next))
                next = w.queue.front().due;
        timespec wait{};
        if (next >= 0) {
            const int64_t left = std::max<int64_t>(0, next - nowNs());
            wait = {time_t(left / 1000000000), long(left % 1000000000)};
        }
        if (ppoll(fds, 3, next >= 0 ? &wait : nullptr, nullptr) < 0 && errno != EINTR)
            fail("ppoll");
        if (fds[2].revents)
            break;
        for (int i = 0; i < 2; ++i)
            if (fds[i].revents & POLLIN)
                ways[i].take(delayNs, jitterNs, loss);
        const int64_t now = nowNs();
        for (auto &w : ways)
            w.give(now);
    }
    for (const auto &w : ways)
        std::fprintf(stderr, "delayline: %s %llu packets forwarded, %llu dropped, %llu over the queue\n",
                     w.name, (unsigned long long)w.forwarded, (unsigned long long)w.dropped,
                     (unsigned long long)w.overflowed);
    return 0;
}
