// The one way farend says what went wrong: an object that fails while it works keeps why
// (Fallible); an attempt gives what it made or why not (Result, and Opened for an object it
// owns). Whoever owns the output says it; only main chooses the exit status.
#pragma once

#include <memory>
#include <string>

class Fallible {
public:
    // Why the object stopped working, in one line; empty while it works.
    const std::string &failure() const { return why; }
    bool failed() const { return !why.empty(); }

protected:
    // Keeps why and returns false, so that a failing path reads `return fail(...)`.
    bool fail(std::string reason)
    {
        why = std::move(reason);
        return false;
    }
    std::string why;
};

template <class T>
struct Result {
    T value{};           // what the attempt gave; meaningless when it failed
    std::string error;   // why it failed, in one line; empty when it did not
    explicit operator bool() const { return error.empty(); }
    static Result failed(std::string why) { return {T{}, std::move(why)}; }
};

// An object made or opened, or why not.
template <class T>
using Opened = Result<std::unique_ptr<T>>;
