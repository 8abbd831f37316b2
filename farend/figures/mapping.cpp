#include "farend/figures/mapping.h"

#include "testcycle/testcycle.h"

#include <algorithm>

bool RecognisedMapping::wrongSpeed() const
{
    return explained() && named.front().rate != tester.baud;
}

bool RecognisedMapping::wrongFormat() const
{
    if (!explained())
        return false;
    const auto &f = named.front().formats;
    LineSettings same = tester;
    same.baud = 0;
    return std::find(f.begin(), f.end(), same) == f.end();
}

std::string RecognisedMapping::code() const
{
    if (!explained())
        return "systematic";
    return wrongSpeed() && wrongFormat() ? "wrong-speed-and-format"
           : wrongSpeed()                ? "wrong-speed"
                                         : "wrong-format";
}

bool RecognisedMapping::portAgainstReport() const
{
    return std::any_of(named.begin(), named.end(),
                       [](const NamedSetting &n) { return n.againstReport; });
}

bool RecognisedMapping::losesReplies() const
{
    return repliesPerCycle < std::size_t(testcycle::kLength);
}

bool RecognisedMapping::addsReplies() const
{
    return repliesPerCycle > std::size_t(testcycle::kLength);
}

bool RecognisedMapping::readsAsBytes() const
{
    return std::any_of(named.begin(), named.end(),
                       [](const NamedSetting &n) { return n.where == Place::FarEnd; });
}
