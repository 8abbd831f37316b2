#include "farend/cli/values.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// An id given by name (`named`, where the system knows the name) or by number.
std::optional<unsigned> idOf(const char *text, std::optional<unsigned> named)
{
    if (named)
        return named;
    char *end = nullptr;
    const unsigned long id = std::strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && !*end && id < UINT_MAX ? std::optional<unsigned>(id)
                                                                  : std::nullopt;
}

} // namespace

bool parseNumber(const char *text, double min, double max, double &out)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno || end == text || *end || !(v >= min && v <= max))   // NaN fails too
        return false;
    out = v;
    return true;
}

std::optional<unsigned> userId(const char *name)
{
    const passwd *p = getpwnam(name);
    return idOf(name, p ? std::optional<unsigned>(p->pw_uid) : std::nullopt);
}

std::optional<unsigned> groupId(const char *name)
{
    const group *g = getgrnam(name);
    return idOf(name, g ? std::optional<unsigned>(g->gr_gid) : std::nullopt);
}

std::string whereIs(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char resolved[PATH_MAX];
    if (!realpath(dir.c_str(), resolved))
        return path;
    return std::string(resolved) + "/" + name;
}

std::string testerNextToFarend()
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
