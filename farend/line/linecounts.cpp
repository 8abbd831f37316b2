#include "farend/line/linecounts.h"

namespace {
// Every count of the type, for what is done to each alike.
constexpr LineErrorCounts::Count LineErrorCounts::*kCounts[] = {
    &LineErrorCounts::framing,       &LineErrorCounts::parity, &LineErrorCounts::overrun,
    &LineErrorCounts::breaks,        &LineErrorCounts::bufferOverrun,
    &LineErrorCounts::rx,            &LineErrorCounts::tx,
};
} // namespace

bool LineErrorCounts::reported() const
{
    for (auto count : kCounts)
        if (this->*count)
            return true;
    return false;
}

LineErrorCounts LineErrorCounts::since(const LineErrorCounts &earlier) const
{
    LineErrorCounts d;
    for (auto count : kCounts)
        if (this->*count)
            d.*count = *(this->*count) - (earlier.*count).value_or(0);
    return d;
}

bool LineErrorCounts::anyError() const
{
    for (const Count &c : {framing, parity, overrun, breaks, bufferOverrun})
        if (c.value_or(0) > 0)
            return true;
    return false;
}
