#include "farend/line/linesettings.h"

std::string LineSettings::text() const
{
    return std::to_string(baud) + " " + format();
}

std::string LineSettings::format() const
{
    return std::to_string(dataBits) + parity + std::to_string(stopBits);
}
