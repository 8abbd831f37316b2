// A pseudo-terminal pair: the tester's side is the slave path, the test holds the master.
// Programs the test starts inherit neither side, so closing the master hangs the line up.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

struct PtyPair {
    int master = -1;
    int slave = -1;   // kept open so settings persist between opens
    std::string path;

    PtyPair()
    {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        path = name;
        for (int fd : {master, slave})
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    ~PtyPair()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    termios settings() const
    {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    void hangUp()
    {
        close(master);
        master = -1;
    }
};
