#include "farend/io/outputfiles.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

ReportFile::ReportFile(const std::string &path) : path(path)
{
    if (path.empty())
        return;
    file = std::fopen(path.c_str(), "w");
    if (!file)
        why = "cannot write " + path + ": " + std::strerror(errno);
}

ReportFile::~ReportFile()
{
    if (file)
        std::fclose(file);
}

void ReportFile::discard()
{
    if (!file)
        return;
    std::fclose(file);
    file = nullptr;
    unlink(path.c_str());
}

bool ReportFile::write(const std::string &text)
{
    if (!file)
        return true;
    const bool written = std::fputs(text.c_str(), file) >= 0;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!written || !closed)
        why = "cannot write " + path + ": " + std::strerror(errno);
    return written && closed;
}

StreamFile::StreamFile(const std::string &path) : path(path)
{
    if (path.empty())
        return;
    file = path == "-" ? stdout : std::fopen(path.c_str(), "w");
    if (!file)
        why = "cannot write " + path + ": " + std::strerror(errno);
}

StreamFile::~StreamFile()
{
    if (file && file != stdout)
        std::fclose(file);
}

void StreamFile::discard()
{
    if (!file || file == stdout)
        return;
    std::fclose(file);
    file = nullptr;
    unlink(path.c_str());
}

void StreamFile::write(const nlohmann::ordered_json &record)
{
    if (!file)
        return;
    const std::string line = record.dump() + "\n";
    if (std::fputs(line.c_str(), file) < 0 || std::fflush(file) != 0) {
        std::fprintf(stderr, "farend: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        if (file != stdout)
            std::fclose(file);
        file = nullptr;
    }
}
