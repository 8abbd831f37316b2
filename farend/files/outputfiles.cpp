#include "farend/files/outputfiles.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

OutputFile::OutputFile(std::string path, bool orStandardOutput) : path(std::move(path))
{
    if (this->path.empty())
        return;
    file = orStandardOutput && this->path == "-" ? stdout : std::fopen(this->path.c_str(), "w");
    if (!file)
        fail(Errc::NotWritable, "cannot write " + this->path + ": " + std::strerror(errno));
}

OutputFile::~OutputFile()
{
    if (file && file != stdout)
        std::fclose(file);
}

void OutputFile::discard()
{
    if (!file || file == stdout)
        return;
    std::fclose(file);
    file = nullptr;
    unlink(path.c_str());
}

bool OutputFile::put(const std::string &text)
{
    return std::fputs(text.c_str(), file) >= 0 ||
           fail(Errc::NotWritable, "cannot write " + path + ": " + std::strerror(errno));
}

bool OutputFile::close()
{
    std::FILE *closing = file;
    file = nullptr;
    return closing == stdout || std::fclose(closing) == 0 ||
           fail(Errc::NotWritable, "cannot write " + path + ": " + std::strerror(errno));
}

bool ReportFile::write(const std::string &document)
{
    if (!file)
        return true;
    const bool written = put(document);
    return close() && written;
}

bool StreamFile::write(const std::string &record)
{
    if (!file)
        return true;
    if (put(record + "\n") &&
        (std::fflush(file) == 0 ||
         fail(Errc::NotWritable, "cannot write " + path + ": " + std::strerror(errno))))
        return true;
    if (file != stdout)
        std::fclose(file);   // what failed is said already
    file = nullptr;
    return false;
}
