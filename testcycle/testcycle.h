// The test cycle the tester sends: "0" to "9", then "A" to "Z", repeated without end. The tick
// steps through it on its own; the far end, the benches and the tests read it from here.
#pragma once

namespace testcycle {

constexpr char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int kLength = sizeof kChars - 1;

// The character the tester sends as its `index`-th byte, counting from 0.
constexpr char at(long long index)
{
    return kChars[index % kLength];
}

} // namespace testcycle
