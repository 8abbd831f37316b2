// The files farend writes its figures to: the --report document and the --report-stream lines.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

// The --report file: opened before serving, so a path that cannot be written is found at once.
class ReportFile {
public:
    explicit ReportFile(const std::string &path);
    ~ReportFile();
    ReportFile(const ReportFile &) = delete;
    ReportFile &operator=(const ReportFile &) = delete;

    bool ok() const { return path.empty() || file; }
    const std::string &error() const { return why; }
    // Nothing was served: the file goes again.
    void discard();
    // Returns false, with error() saying why, when the text could not be written.
    bool write(const std::string &text);

private:
    std::string path;
    std::FILE *file = nullptr;
    std::string why;
};

// The --report-stream file ("-": standard output): one JSON object a line, each flushed as it
// is written, so that `tail -f | jq` sees it at once. Opened before relaying, as the report is.
class StreamFile {
public:
    explicit StreamFile(const std::string &path);
    ~StreamFile();
    StreamFile(const StreamFile &) = delete;
    StreamFile &operator=(const StreamFile &) = delete;

    bool ok() const { return path.empty() || file; }
    const std::string &error() const { return why; }
    bool onStandardOutput() const { return path == "-"; }
    // Nothing was relayed: a file goes again.
    void discard();
    // Writes `record` as one line; a failure is said once on standard error and the stream ends.
    void write(const nlohmann::ordered_json &record);

private:
    std::string path;
    std::FILE *file = nullptr;
    std::string why;
};
