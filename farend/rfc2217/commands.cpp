// The COM-PORT-OPTION commands from the server, one handler each: what the server answered to
// a request, reported of its UART, or asked of us.
#include "farend/rfc2217/commands.h"
#include "farend/rfc2217/rfc2217.h"

#include "farend/text/prose.h"

#include <algorithm>
#include <cstdint>

using namespace comport;

namespace {
const char kOurSignature[] = "farend";

// Servers that answer SET-BAUDRATE with one byte give an index into the table Cisco's servers
// brought in, which gensio and ser2net follow; 0 where an index names no rate.
constexpr std::uint32_t kBaudIndex[] = {0,    0, 0,     300, 600,   1200,  2400,   4800,
                                        9600, 0, 19200, 0,   38400, 57600, 115200, 230400};

std::string hex(unsigned char v)
{
    return format("0x%02x", v);
}

// A value longer than `want` whose extra bytes are all NUL is taken as its first `want` bytes.
bool trimTrailingNuls(std::string &value, std::size_t want)
{
    if (value.size() <= want ||
        std::any_of(value.begin() + static_cast<long>(want), value.end(), [](char c) { return c; }))
        return false;
    value.resize(want);
    return true;
}
} // namespace

const Rfc2217Client::Handler Rfc2217Client::handlers[] = {
    {"SIGNATURE", false, &Rfc2217Client::signatureReply},
    {"SET-BAUDRATE", false, &Rfc2217Client::baudRate},
    {"SET-DATASIZE", true, &Rfc2217Client::dataSize},
    {"SET-PARITY", true, &Rfc2217Client::parity},
    {"SET-STOPSIZE", true, &Rfc2217Client::stopSize},
    {"SET-CONTROL", true, &Rfc2217Client::setControl},
    {"NOTIFY-LINESTATE", true, &Rfc2217Client::lineState},
    {"NOTIFY-MODEMSTATE", true, &Rfc2217Client::modemState},
    {"FLOWCONTROL-SUSPEND", false, &Rfc2217Client::suspend},
    {"FLOWCONTROL-RESUME", false, &Rfc2217Client::resume},
    {"SET-LINESTATE-MASK", true, &Rfc2217Client::lineStateMask},
    {"SET-MODEMSTATE-MASK", true, &Rfc2217Client::modemStateMask},
    {"PURGE-DATA", true, &Rfc2217Client::purged},
};

void Rfc2217Client::subnegotiated(const std::string &body, std::string &answer)
{
    if (body.empty() || static_cast<unsigned char>(body[0]) != kComPort)
        return;   // another option's: nothing of ours
    if (body.size() < 2)
        return notParsed("a COM-PORT-OPTION subnegotiation without a command");
    const unsigned char command = static_cast<unsigned char>(body[1]);
    if (command < kServer || command >= kServer + std::size(handlers))
        return notParsed("COM-PORT-OPTION command " + std::to_string(command) + " from the server");
    const Handler &h = handlers[command - kServer];
    Reply r{body.substr(2), 0, {}, answer};
    // a longer value with trailing NULs is a known server's form
    if (h.oneByte && trimTrailingNuls(r.value, 1))
        r.quirk = "trailing NULs";
    if (h.oneByte && r.value.size() != 1)
        return notParsed(std::string(h.name) + " with a value of " +
                         std::to_string(r.value.size()) + " bytes");
    r.byte = r.value.empty() ? 0 : static_cast<unsigned char>(r.value[0]);
    (this->*h.handle)(r);
}

void Rfc2217Client::signatureReply(Reply &r)
{
    if (r.value.empty()) {
        // the server asks for ours: answered once, so that asking again loops nothing
        if (!signatureGiven)
            r.answer += subnegotiation(kComPort, SIGNATURE, kOurSignature);
        signatureGiven = true;
        return;
    }
    while (!r.value.empty() && r.value.back() == '\0')
        r.value.pop_back();
    answered(kSignature, true, r.value);
}

void Rfc2217Client::baudRate(Reply &r)
{
    std::uint32_t baud = 0;
    if (trimTrailingNuls(r.value, 4))
        r.quirk = "trailing NULs";
    if (r.value.size() == 4) {
        for (int i = 0; i < 4; ++i)
            baud = (baud << 8) | static_cast<unsigned char>(r.value[i]);
    } else if (r.value.size() == 1) {
        // ser2net answers 0 for a rate the one-byte form cannot carry
        baud = r.byte < std::size(kBaudIndex) ? kBaudIndex[r.byte] : 0;
        if (!baud)
            return notParsed("SET-BAUDRATE with the one-byte index " + std::to_string(r.byte) +
                             ", which names no rate");
        r.quirk = "a one-byte index (" + std::to_string(r.byte) + ")";
    } else {
        return notParsed("SET-BAUDRATE with a value of " + std::to_string(r.value.size()) +
                         " bytes");
    }
    reported.baud = baud;
    answered(kBaud, baud == askedSettings.baud, std::to_string(baud), r.quirk);
}

void Rfc2217Client::dataSize(Reply &r)
{
    if (r.byte < 5 || r.byte > 8)
        return notParsed("SET-DATASIZE " + std::to_string(r.byte));
    reported.dataBits = r.byte;
    answered(kDataSize, r.byte == askedSettings.dataBits, std::to_string(r.byte), r.quirk);
}

void Rfc2217Client::parity(Reply &r)
{
    if (r.byte < 1 || r.byte > 5)
        return notParsed("SET-PARITY " + std::to_string(r.byte));
    reported.parity = kParities[r.byte];
    answered(kParity, reported.parity == askedSettings.parity, std::string(1, reported.parity),
             r.quirk);
}

void Rfc2217Client::stopSize(Reply &r)
{
    if (r.byte < 1 || r.byte > 3)
        return notParsed("SET-STOPSIZE " + std::to_string(r.byte));
    reported.stopBits = r.byte == 2 ? 2 : r.byte == 3 ? 15 : 1;
    answered(kStopSize, reported.stopBits == askedSettings.stopBits,
             r.byte == 3 ? "1.5" : std::to_string(r.byte), r.quirk);
}

void Rfc2217Client::setControl(Reply &r)
{
    if (controlAsked.empty())
        return;   // an answer to nothing asked: the server's own report, not needed here
    const unsigned char wanted = controlAsked.front();
    controlAsked.pop_front();
    // some servers answer every SET-CONTROL with one fixed value
    answered(wanted == DTR_ON ? kDtr : kRts, r.byte == wanted, std::to_string(r.byte),
             r.byte == wanted ? r.quirk : "another value (" + std::to_string(r.byte) + ")");
}

void Rfc2217Client::lineState(Reply &r)
{
    // ser2net answers the mask with a notification of the line's state
    if (request(kLineStateMask).answer == Answer::Waiting)
        answered(kLineStateMask, true, hex(r.byte), "a NOTIFY-LINESTATE");
    ++lineNotified.count;
    *line.breaks += (r.byte & LS_BREAK) != 0;
    *line.framing += (r.byte & LS_FRAMING) != 0;
    *line.parity += (r.byte & LS_PARITY) != 0;
    *line.overrun += (r.byte & LS_OVERRUN) != 0;
    lineNotified.unaskedBits += (r.byte & ~kLineMask) != 0;
}

void Rfc2217Client::modemState(Reply &r)
{
    if (request(kModemStateMask).answer == Answer::Waiting)
        answered(kModemStateMask, true, hex(r.byte), "a NOTIFY-MODEMSTATE");
    ++modemNotified.count;
    // a line changed when its delta bit says so or its state differs from the last report
    auto changed = [&](unsigned char state, unsigned char delta) {
        return (r.byte & delta) || (modem.last && ((*modem.last ^ r.byte) & state));
    };
    modem.cts += changed(MS_CTS, 1);
    modem.dsr += changed(MS_DSR, 2);
    modem.ri += changed(MS_RI, 4);
    modem.cd += changed(MS_CD, 8);
    modemNotified.unaskedBits += (r.byte & ~modemMask) != 0;
    modem.last = r.byte;
}

void Rfc2217Client::suspend(Reply &)
{
    if (!suspended()) {
        suspendedSince = now;
        ++suspensions_;
    }
}

void Rfc2217Client::resume(Reply &)
{
    if (suspended()) {
        suspendedTotal += std::max(0.0, now - suspendedSince);
        suspendedSince = -1;
    }
}

void Rfc2217Client::lineStateMask(Reply &r)
{
    answered(kLineStateMask, r.byte == lineMask, hex(r.byte), r.quirk);
}

void Rfc2217Client::modemStateMask(Reply &r)
{
    answered(kModemStateMask, r.byte == modemMask, hex(r.byte), r.quirk);
}

void Rfc2217Client::purged(Reply &r)
{
    answered(kPurge, r.byte == PURGE_BOTH, std::to_string(r.byte), r.quirk);
}
