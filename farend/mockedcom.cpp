#include "farend/mockedcom.h"

#include "farend/transport.h"

#include <umockdev.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

MockedCom3::~MockedCom3()
{
    if (testbed)
        g_object_unref(testbed);
}

std::unique_ptr<Transport> MockedCom3::create(std::string &error)
{
    testbed = umockdev_testbed_new();
    GError *gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed,
                                          "P: /devices/virtual/tty/COM3\n"
                                          "N: COM3\n"
                                          "E: DEVNAME=/dev/COM3\n"
                                          "E: SUBSYSTEM=tty\n",
                                          &gerror)) {
        error = std::string("cannot mock COM3: ") + (gerror ? gerror->message : "?");
        if (gerror)
            g_error_free(gerror);
        return nullptr;
    }
    const int line = umockdev_testbed_get_dev_fd(testbed, "/dev/COM3");
    if (line < 0) {
        error = "the mocked COM3 has no terminal";
        return nullptr;
    }
    return mockedComTransport(line);
}

bool MockedCom3::run(const std::vector<std::string> &command, std::string &error)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string preload = "libumockdev-preload.so.0";
    if (const char *old = std::getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;

    child = fork();
    if (child < 0) {
        error = std::string("cannot start a process: ") + std::strerror(errno);
        g_free(root);
        return false;
    }
    if (child == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        setenv("UMOCKDEV_DIR", root, 1);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        std::vector<char *> args;
        for (const auto &c : command)
            args.push_back(const_cast<char *>(c.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "farend: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    g_free(root);
    return true;
}

void MockedCom3::stop()
{
    if (!stopSent && child > 0)
        kill(child, SIGTERM);
    stopSent = true;
}

bool MockedCom3::ended()
{
    if (!reaped && child > 0 && waitpid(child, &status, WNOHANG) == child)
        reaped = true;
    return reaped || child <= 0;
}

int MockedCom3::exitStatus() const
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}
