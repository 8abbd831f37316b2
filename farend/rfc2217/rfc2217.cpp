#include "farend/rfc2217/rfc2217.h"

#include "farend/rfc2217/commands.h"

#include <algorithm>
#include <cstring>

using namespace comport;

namespace {
constexpr std::size_t kControlsRemembered = 16;

// Each request: how the reports name it, and the command that asks it.
const struct {
    const char *words, *command;
} kRequestNames[] = {
    {"baud rate", "SET-BAUDRATE"},
    {"data size", "SET-DATASIZE"},
    {"parity", "SET-PARITY"},
    {"stop size", "SET-STOPSIZE"},
    {"DTR", "SET-CONTROL (DTR)"},
    {"RTS", "SET-CONTROL (RTS)"},
    {"signature", "SIGNATURE"},
    {"line-state mask", "SET-LINESTATE-MASK"},
    {"modem-state mask", "SET-MODEMSTATE-MASK"},
    {"purge", "PURGE-DATA"},
};

// SET-PARITY's value for `p`; none for anything unknown.
unsigned char parityCode(char p)
{
    const char *at = std::strchr(kParities + 1, p);
    return static_cast<unsigned char>(p && at ? at - kParities : 1);
}

std::string oneByte(unsigned char v)
{
    return std::string(1, static_cast<char>(v));
}
} // namespace

// --- Telnet: what we take, and what it told us --------------------------------------------------

std::string Rfc2217Client::greeting()
{
    return offer(kComPort) + offer(kBinary) + ask(kBinary) + ask(kSga);
}

bool Rfc2217Client::weDo(unsigned char option) const
{
    return option == kBinary || option == kSga || option == kComPort;
}

bool Rfc2217Client::theyMay(unsigned char option) const
{
    return weDo(option) || option == kEcho;   // the server's echo is harmless on a raw line
}

void Rfc2217Client::told(unsigned char verb, unsigned char option)
{
    if (option == kComPort && verb == kDo && ours(kComPort))
        comPort_ = ComPort::Accepted;
    else if (option == kComPort && verb == kDont)
        comPort_ = ComPort::Refused;
}

void Rfc2217Client::notParsed(std::string what)
{
    ++unparsed_;
    lastUnparsed_ = std::move(what);
}

// --- Requests, and how they were answered -------------------------------------------------------

void Rfc2217Client::answered(Request r, bool same, std::string value, std::string quirk)
{
    requests[r] = {same ? Answer::Same : Answer::Other, std::move(value), std::move(quirk)};
}

std::string Rfc2217Client::asking(Request r, unsigned char command, const std::string &value)
{
    requests[r] = {Answer::Waiting, {}, {}};
    return subnegotiation(kComPort, command, value);
}

std::string Rfc2217Client::setSettings(const LineSettings &s)
{
    askedSettings = s;
    std::string baud(4, '\0');
    for (int i = 0; i < 4; ++i)
        baud[i] = static_cast<char>((s.baud >> (24 - 8 * i)) & 0xFF);
    return asking(kBaud, SET_BAUDRATE, baud) +
           asking(kDataSize, SET_DATASIZE, oneByte(static_cast<unsigned char>(s.dataBits))) +
           asking(kParity, SET_PARITY, oneByte(parityCode(s.parity))) +
           asking(kStopSize, SET_STOPSIZE, oneByte(s.stopBits == 2 ? 2 : 1));
}

std::string Rfc2217Client::raiseModemLines()
{
    for (unsigned char v : {DTR_ON, RTS_ON}) {
        controlAsked.push_back(v);
        if (controlAsked.size() > kControlsRemembered)
            controlAsked.pop_front();
    }
    return asking(kDtr, SET_CONTROL, oneByte(DTR_ON)) + asking(kRts, SET_CONTROL, oneByte(RTS_ON));
}

std::string Rfc2217Client::askWhatTheServerKnows()
{
    lineMask = kLineMask;
    modemMask = kModemMask;
    return asking(kSignature, SIGNATURE, "") +
           asking(kLineStateMask, SET_LINESTATE_MASK, oneByte(lineMask)) +
           asking(kModemStateMask, SET_MODEMSTATE_MASK, oneByte(modemMask));
}

std::string Rfc2217Client::purge()
{
    ++purges;
    return asking(kPurge, PURGE_DATA, oneByte(PURGE_BOTH));
}

const char *Rfc2217Client::requestWords(Request r)
{
    return kRequestNames[r].words;
}

const char *Rfc2217Client::requestCommand(Request r)
{
    return kRequestNames[r].command;
}

std::vector<std::string> Rfc2217Client::notAcknowledged() const
{
    std::vector<std::string> names;
    for (int r = 0; r < kRequests; ++r)
        if (requests[r].answer == Answer::Waiting)
            names.push_back(kRequestNames[r].words);
    return names;
}

// --- What the server reported -------------------------------------------------------------------

LineErrorCounts Rfc2217Client::reportedLineErrors() const
{
    const Answer a = request(kLineStateMask).answer;
    if (lineNotified.count == 0 && a != Answer::Same && a != Answer::Other)
        return {};
    return line;
}

std::optional<ModemLineCounts> Rfc2217Client::reportedModemLines() const
{
    const Answer a = request(kModemStateMask).answer;
    if (modemNotified.count == 0 && a != Answer::Same && a != Answer::Other)
        return std::nullopt;
    return modem;
}

ServerFacts Rfc2217Client::facts(double nowMs) const
{
    ServerFacts f;
    f.port = reported;
    f.notAcknowledged = notAcknowledged();
    f.signature = signature();
    for (int r = 0; r < kRequests; ++r) {
        const RequestState &s = requests[r];
        if (s.answer == Answer::Other)
            f.answeredOtherwise.push_back(std::string(kRequestNames[r].words) + " " + s.value);
        if (s.answer != Answer::Waiting && !s.quirk.empty())
            f.nonStandard.push_back(std::string(kRequestNames[r].words) + " as " + s.quirk);
    }
    f.purges = purges;
    f.suspensions = suspensions_;
    f.suspendedMs = suspendedMs(nowMs);
    f.unparsed = unparsed_;
    f.lastUnparsed = lastUnparsed_;
    f.abandoned = abandoned();
    f.discarded = discarded();
    return f;
}

double Rfc2217Client::suspendedMs(double nowMs) const
{
    return suspendedTotal + (suspended() ? std::max(0.0, nowMs - suspendedSince) : 0);
}

// --- Bounded traffic toward the server ----------------------------------------------------------

void Rfc2217Client::take(const char *bytes, std::size_t n, double nowMs, std::string &data)
{
    now = nowMs;
    std::string answers;
    decode(bytes, n, data, answers);
    if (!answers.empty())
        queueControl(answers);
}

void Rfc2217Client::stalled(std::string reason)
{
    if (!failed())   // the first reason is the one that ended it
        fail(Errc::Stalled, std::move(reason));
}

void Rfc2217Client::queueControl(const std::string &bytes)
{
    if (control.size() + bytes.size() > kControlLimit)
        return stalled("the device server does not read what it is sent: more than " +
                       std::to_string(kControlLimit / 1024) +
                       " KiB of answers to its negotiation are waiting");
    control += bytes;
}

void Rfc2217Client::queueData(const std::string &data)
{
    const std::string escaped = encode(data);
    if (dataOut.size() + escaped.size() > kDataLimit)
        return stalled(std::string("the device server takes no data") +
                       (suspended() ? " since it suspended the flow" : "") + ": more than " +
                       std::to_string(kDataLimit / 1024) + " KiB are waiting for it");
    dataOut += escaped;
}

std::string_view Rfc2217Client::outgoing() const
{
    if (!control.empty())
        return control;
    if (!suspended())
        return dataOut;
    return {};
}

void Rfc2217Client::wrote(std::size_t n)
{
    // outgoing() gave control whenever there was any; appends go to the ends only
    std::string &from = !control.empty() ? control : dataOut;
    from.erase(0, std::min(n, from.size()));
}
