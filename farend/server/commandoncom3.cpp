#include "farend/server/commandoncom3.h"

#include "farend/io/transport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The far side of the mocked COM3: the master of its pseudo-terminal, which the mock keeps.
class PtyTransport : public Transport {
public:
    explicit PtyTransport(Com3Testbed &mock) : mock(mock), fd(mock.far()) {}

    Event wait(double timeoutMs, std::string &in) override
    {
        if (cut) {
            sleepMs(timeoutMs);
            return Event::Quiet;
        }
        const short ready = pollOnce(fd, POLLIN, timeoutMs);
        if (ready & POLLIN)
            drain(fd, [&](const char *bytes, std::size_t n) { in.append(bytes, n); });
        else if (ready & (POLLHUP | POLLERR))
            sleepMs(std::min(timeoutMs, 10.0));   // the tester has closed its end: it may reopen
        return Event::Quiet;
    }

    long send(const std::string &bytes) override
    {
        if (cut)
            return -1;
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n >= 0)
            return n;
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }

    bool hangUp() override
    {
        mock.hangUp();
        cut = true;
        return false;
    }

private:
    Com3Testbed &mock;
    int fd;
    bool cut = false;
};

} // namespace

Opened<Transport> CommandOnCom3::create()
{
    if (!com3.create(Com3Testbed::Terminal, Com3Testbed::MockIoctls))
        return Opened<Transport>::failed(com3.error());
    return {std::make_unique<PtyTransport>(com3), {}};
}

bool CommandOnCom3::run(const std::vector<std::string> &command)
{
    const auto environment = com3.environment(std::getenv("LD_PRELOAD"));
    child = fork();
    if (child < 0)
        return fail(Errc::CommandFailed,
                    std::string("cannot start a process: ") + std::strerror(errno));
    if (child == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        for (const auto &[name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char *> args;
        for (const auto &c : command)
            args.push_back(const_cast<char *>(c.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "farend: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    return true;
}

void CommandOnCom3::stop()
{
    if (!stopSent && child > 0)
        kill(child, SIGTERM);
    stopSent = true;
}

bool CommandOnCom3::ended()
{
    if (!reaped && child > 0 && waitpid(child, &status, WNOHANG) == child)
        reaped = true;
    return reaped || child <= 0;
}

int CommandOnCom3::exitStatus() const
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}
