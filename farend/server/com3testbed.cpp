#include "farend/server/com3testbed.h"

#include <umockdev.h>

#include <fcntl.h>
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

// `what` with a GError's message after it; the error is freed.
std::string withMessage(const char *what, GError *gerror)
{
    const std::string why = std::string(what) + ": " + (gerror ? gerror->message : "?");
    if (gerror)
        g_error_free(gerror);
    return why;
}

} // namespace

Com3Testbed::~Com3Testbed()
{
    if (testbed)
        g_object_unref(testbed);
    if (ioctlHandler)
        g_object_unref(ioctlHandler);
}

bool Com3Testbed::create(Kind kind, Ioctls ioctls)
{
    if (testbed)
        return fail(Errc::MockFailed, "the mocked COM3 is made already");
    testbed = umockdev_testbed_new();
    gchar *dir = umockdev_testbed_get_root_dir(testbed);
    rootDir = dir;
    g_free(dir);
    if (kind == NoPort)
        return true;
    const char *description = kind == Terminal ? "P: /devices/virtual/tty/COM3\n"
                                                       "N: COM3\n"
                                                       "E: DEVNAME=/dev/COM3\n"
                                                       "E: SUBSYSTEM=tty\n"
                                                     : "P: /devices/virtual/misc/COM3\n"
                                                       "N: COM3=00\n"
                                                       "E: DEVNAME=/dev/COM3\n"
                                                       "E: SUBSYSTEM=misc\n";
    GError *gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, description, &gerror))
        return fail(Errc::MockFailed, withMessage("cannot mock COM3", gerror));
    if (kind != Terminal)
        return true;
    farFd = umockdev_testbed_get_dev_fd(testbed, "/dev/COM3");
    if (farFd < 0)
        return fail(Errc::MockFailed, "the mocked COM3 has no terminal");
    // only this process holds the far end: when it is cut, the tester sees the hang-up
    fcntl(farFd, F_SETFD, fcntl(farFd, F_GETFD) | FD_CLOEXEC);
    fcntl(farFd, F_SETFL, fcntl(farFd, F_GETFL) | O_NONBLOCK);
    if (ioctls == RealIoctls) {
        ioctlHandler = umockdev_ioctl_base_new();
        g_signal_connect(ioctlHandler, "handle-ioctl", G_CALLBACK(passThrough), nullptr);
        if (!umockdev_testbed_attach_ioctl(testbed, "/dev/COM3", ioctlHandler, &gerror))
            return fail(Errc::MockFailed, withMessage("cannot pass COM3's ioctls through", gerror));
    }
    return true;
}

void Com3Testbed::hangUp()
{
    if (farFd < 0)
        return;
    // the testbed closes this descriptor number itself later: keep it valid
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(null, farFd);
    close(null);
}

std::vector<std::pair<std::string, std::string>> Com3Testbed::environment(const char *preload) const
{
    std::string preloads = "libumockdev-preload.so.0";
    if (preload && *preload)
        preloads += std::string(":") + preload;
    return {{"UMOCKDEV_DIR", rootDir}, {"LD_PRELOAD", preloads}};
}
