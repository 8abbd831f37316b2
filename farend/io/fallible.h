// The one way farend's lines, relay targets and COM3 say what went wrong: an object that fails
// while it works keeps why; an attempt to open one gives the object or why not.
#pragma once

#include <memory>
#include <string>

class Fallible {
public:
    // Why the object stopped working, in one line; empty while it works.
    const std::string &failure() const { return why; }

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
struct Opened {
    std::unique_ptr<T> value;   // null when the attempt failed
    std::string error;          // why it failed, in one line
    static Opened failed(std::string why) { return {nullptr, std::move(why)}; }
};
