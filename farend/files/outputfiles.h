// The files farend writes its figures to: the --report document and the --report-stream lines.
// Each is opened before farend serves or relays, so that a path that cannot be written is found
// at once, and goes again when nothing was served.
#pragma once

#include "farend/error/fallible.h"

#include <cstdio>
#include <string>

class OutputFile : public Fallible {
public:
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Nothing was served: a file goes again (standard output stays).
    void discard();

protected:
    // Opens `path` ("-": standard output, where `orStandardOutput`); no path: no file.
    OutputFile(std::string path, bool orStandardOutput);
    ~OutputFile();
    // Writes `text`; false, with failure() saying why, when it could not be written.
    bool put(const std::string &text);
    // Closes the file; false, with failure() saying why, when what was written did not reach it.
    bool close();

    std::string path;
    std::FILE *file = nullptr;
};

// The --report file: one document, written at the end.
class ReportFile : public OutputFile {
public:
    explicit ReportFile(const std::string &path) : OutputFile(path, false) {}
    // Writes the document and closes the file; false with failure() saying why.
    bool write(const std::string &document);
};

// The --report-stream file ("-": standard output): one JSON object a line, each flushed as it is
// written, so that `tail -f | jq` sees it at once.
class StreamFile : public OutputFile {
public:
    explicit StreamFile(const std::string &path) : OutputFile(path, true) {}
    bool onStandardOutput() const { return path == "-"; }
    // Writes `record` as one line. False when that failed, with failure() saying why: the stream
    // ends there, and later records go nowhere.
    bool write(const std::string &record);
};
