// How farend reads the values its options take: numbers within a range, users and groups by
// name or number, where a path leads, and where the tester is.
#pragma once

#include <optional>
#include <string>

// `text` as a number from `min` to `max`; false when it is none (NaN included) or out of range.
bool parseNumber(const char *text, double min, double max, double &out);
// A user's or group's id, by name or number; nothing when the system knows neither.
std::optional<unsigned> userId(const char *name);
std::optional<unsigned> groupId(const char *name);
// Where `path` would be: its directory resolved, so that two spellings of one file compare
// equal whether or not it exists yet.
std::string whereIs(const std::string &path);
// The tester next to farend (the build tree, or the same bindir), else the installed one.
std::string testerNextToFarend();
