// The one way farend says what went wrong: a code beside a line of text. An object that fails
// while it works keeps its error (Fallible); an attempt gives what it made or why not (Result,
// and Opened for an object it owns). The text is for the user and says it all; the code is for
// the code (main, the relay's end, the tests), which never reads the text. Whoever owns the
// output says it; only main chooses the exit status.
#pragma once

#include <memory>
#include <string>

enum class Errc {
    None,
    // bad input
    UnknownOption,   // no such option, an abbreviation of several, or a value to a flag
    BadValue,        // a value out of its option's range or of another kind
    Conflict,        // options that do not go together, or one given twice
    BadAddress,      // not an address of the form its option takes
    // what the system refused
    NoSuchDevice,    // a device path that names nothing
    DeviceBusy,      // a device another program holds
    NotATerminal,    // a path that is no serial terminal
    DeviceRefused,   // a device that would not open or take its settings
    CannotConnect,   // refused, not reached, or a name that does not resolve
    CannotListen,
    NotRfc2217,      // a target that does not speak COM Port Control
    LinkExists,      // something other than a dangling link at --link
    Com3Failed,      // the pseudo-terminal could not be made, set or linked
    NotWritable,     // a report or stream file
    MockFailed,      // the mocked COM3 could not be made
    CommandFailed,   // the command to run against it could not be started
    // a line that went away
    Closed,          // the other side closed the connection
    LineFailed,      // reading or writing failed
    Stalled,         // a peer that takes nothing of what it is sent, past the bounds
    // what a picture is drawn from
    NoRecords,       // nothing in it is a record of a relay's stream
    NotAStream,      // a report, not the stream
    NoIntervals,     // a stream without an interval to draw
};

struct Error {
    Errc code = Errc::None;
    std::string text;   // one line, naming what failed
    explicit operator bool() const { return code != Errc::None; }
};

class Fallible {
public:
    const Error &error() const { return error_; }
    // Why the object stopped working, in one line; empty while it works.
    const std::string &failure() const { return error_.text; }
    bool failed() const { return bool(error_); }

protected:
    // Keeps the error and returns false, so that a failing path reads `return fail(...)`.
    bool fail(Errc code, std::string text)
    {
        error_ = {code, std::move(text)};
        return false;
    }
    bool fail(Error e)
    {
        error_ = std::move(e);
        return false;
    }

private:
    Error error_;
};

template <class T>
struct Result {
    T value{};     // what the attempt gave; meaningless when it failed
    Error error;   // why it failed; none when it did not
    explicit operator bool() const { return !error; }
    static Result failed(Errc code, std::string text) { return {T{}, {code, std::move(text)}}; }
    static Result failed(Error e) { return {T{}, std::move(e)}; }
};

// An object made or opened, or why not.
template <class T>
using Opened = Result<std::unique_ptr<T>>;

// `e` with `context` before its text ("HOST:PORT: "), its code kept.
inline Error within(const std::string &context, Error e)
{
    e.text = context + e.text;
    return e;
}
