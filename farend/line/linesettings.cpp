#include "farend/line/linesettings.h"

std::string LineSettings::text() const
{
    return std::to_string(baud) + " " + format();
}

std::string LineSettings::format() const
{
    return std::to_string(dataBits) + parity + std::to_string(stopBits);
}

bool LineSettings::takeFormat(const std::string &text)
{
    if (text.size() != 3 || text[0] < '5' || text[0] > '8' ||
        std::string("NEOMS").find(text[1]) == std::string::npos ||
        (text[2] != '1' && text[2] != '2'))
        return false;
    dataBits = text[0] - '0';
    parity = text[1];
    stopBits = text[2] - '0';
    return true;
}

double wireTimeMs(long baud, int frameBits)
{
    return baud > 0 ? 2.0 * frameBits * 1000.0 / double(baud) : 0;
}
