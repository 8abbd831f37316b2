#include "farend/line/linesettings.h"

std::string LineSettings::text() const
{
    return std::to_string(baud) + " " + format();
}

std::string LineSettings::format() const
{
    return std::to_string(dataBits) + parity + std::to_string(stopBits);
}

double wireTimeMs(long baud, int frameBits)
{
    return baud > 0 ? 2.0 * frameBits * 1000.0 / double(baud) : 0;
}
