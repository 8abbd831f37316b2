// The tester's bytes as they reach farend, on the far end's line or through the relay: whether
// they are the test cycle, when the first and the last came, and the period between them.
#pragma once

#include "farend/line/wiretiming.h"

class TesterWatch {
public:
    void byte(unsigned char b, double atMs);
    // The next byte starts a new line (another connection, a new run): the cycle from "0" again,
    // and no gap counted across.
    void newLine();

    long long bytes() const { return received; }
    long long bytesOnLine() const { return receivedOnLine; }
    // Whether everything received on each line so far is the test cycle "0".."9", "A".."Z",
    // from "0".
    bool exactCycle() const { return firstMismatch < 0; }
    // The first byte that broke the cycle, counted from 0 over every line; -1 for none.
    long long firstMismatchAt() const { return firstMismatch; }
    // From the first byte to the last, 0 before two.
    double firstToLastMs() const { return received > 1 ? lastAtMs - firstAtMs : 0.0; }
    const WireTiming &period() const { return timing; }

private:
    long long received = 0;
    long long receivedOnLine = 0;
    long long firstMismatch = -1;
    double firstAtMs = -1, lastAtMs = -1;
    WireTiming timing;
};
