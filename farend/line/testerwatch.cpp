#include "farend/line/testerwatch.h"

#include "testcycle/testcycle.h"

void TesterWatch::byte(unsigned char b, double atMs)
{
    if (firstMismatch < 0 && b != static_cast<unsigned char>(testcycle::at(receivedOnLine)))
        firstMismatch = received;
    ++received;
    ++receivedOnLine;
    if (firstAtMs < 0)
        firstAtMs = atMs;
    lastAtMs = atMs;
    timing.byteAt(atMs);
}

void TesterWatch::newLine()
{
    receivedOnLine = 0;
    timing.newLine();
}
