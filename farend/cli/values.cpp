#include "farend/cli/values.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <grp.h>
#include <pwd.h>

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
