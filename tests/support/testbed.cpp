// glib before Qt: glib uses "signals" as a name, which Qt defines as a keyword
#include <umockdev.h>

#include "tests/support/testbed.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Runs the ioctl on the real terminal in the program under test.
gboolean passThrough(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer)
{
    GError *error = nullptr;
    int err = 0;
    const int result = umockdev_ioctl_client_execute(client, &err, &error);
    if (error) {
        g_error_free(error);
        return FALSE;
    }
    umockdev_ioctl_client_complete(client, result, err);
    return TRUE;
}

} // namespace

ComTestbed::ComTestbed(Kind kind, Ioctls ioctls)
{
    testbed = umockdev_testbed_new();
    gchar *dir = umockdev_testbed_get_root_dir(testbed);
    rootDir = QString::fromLocal8Bit(dir);
    g_free(dir);
    if (kind == NoPort)
        return;
    const char *description = kind == Terminal ? "P: /devices/virtual/tty/COM3\n"
                                                 "N: COM3\n"
                                                 "E: DEVNAME=/dev/COM3\n"
                                                 "E: SUBSYSTEM=tty\n"
                                               : "P: /devices/virtual/misc/COM3\n"
                                                 "N: COM3=00\n"
                                                 "E: DEVNAME=/dev/COM3\n"
                                                 "E: SUBSYSTEM=misc\n";
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, description, &error))
        qFatal("cannot add COM3 to the testbed: %s", error ? error->message : "?");
    if (kind == Terminal) {
        farFd = umockdev_testbed_get_dev_fd(testbed, "/dev/COM3");
        if (farFd < 0)
            qFatal("the testbed's COM3 has no far end");
        fcntl(farFd, F_SETFD, fcntl(farFd, F_GETFD) | FD_CLOEXEC);
        fcntl(farFd, F_SETFL, fcntl(farFd, F_GETFL) | O_NONBLOCK);
    }
    if (kind == Terminal && ioctls == RealIoctls) {
        ioctlHandler = umockdev_ioctl_base_new();
        g_signal_connect(ioctlHandler, "handle-ioctl", G_CALLBACK(passThrough), nullptr);
        if (!umockdev_testbed_attach_ioctl(testbed, "/dev/COM3", ioctlHandler, &error))
            qFatal("cannot pass COM3's ioctls through: %s", error ? error->message : "?");
    }
}

ComTestbed::~ComTestbed()
{
    g_object_unref(testbed);
    if (ioctlHandler)
        g_object_unref(ioctlHandler);
}

QString ComTestbed::devicePath() const
{
    return QFile::symLinkTarget(rootDir + QStringLiteral("/dev/COM3"));
}

void ComTestbed::send(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(farFd, bytes.constData() + done, bytes.size() - done);
        if (n > 0)
            done += n;
        else {
            pollfd p{farFd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

QByteArray ComTestbed::receive(int quietMs)
{
    QByteArray got;
    for (;;) {
        pollfd p{farFd, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLIN))
            return got;
        char buf[4096];
        ssize_t n = read(farFd, buf, sizeof buf);
        if (n <= 0)
            return got;
        got.append(buf, n);
    }
}

void ComTestbed::hangUp()
{
    // the testbed closes this descriptor number itself later: keep it valid
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(null, farFd);
    close(null);
}

QProcessEnvironment ComTestbed::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("UMOCKDEV_DIR"), rootDir);
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral("libumockdev-preload.so.0"));
    return env;
}
