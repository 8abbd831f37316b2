// farend's options as getopt_long takes them, each number's range and the message made from it:
// the table the parser reads, written once.
#pragma once

#include <getopt.h>

#include <string>
#include <vector>

// The options with a short form are named by it; the others by a number past every character.
enum Option {
    kHelp = 'h', kVersion = 'V', kInterval = 'i', kCount = 'c', kTime = 't', kLink = 'l',
    kOutput = 'o',
    kPort = 256, kListen, kRelay, kReconnect, kReport, kReportStream, kExpectClean, kOwner, kGroup,
    kMode, kPlot, kLatency, kPaced, kDrop, kCorrupt, kSilent, kWrongBaud, kFarDevice, kServerPort,
    kHangupAfter, kSeed, kMetrics
};
// getopt's string of the short options: "+" ends the options at the first word that is none,
// ":" reports a missing value apart from an unknown option.
extern const char kShortOptions[];
extern const option longOptions[];

// The long options `typed` can stand for ("--rep" for --report and --report-stream).
std::vector<const option *> matching(const std::string &typed);

// A number an option takes: its range, and the message that says it, made from the range.
struct NumberRule {
    int id;
    double min, max;
    const char *what = "a number";   // what the number counts
    const char *zero = nullptr;      // what 0 means where it is taken below `min`
};
const NumberRule *numberRule(int id);

// The message for an option given without its value, or with one out of its range; named by
// its long form, which --help gives beside the short one.
std::string needsValue(int id);
