#include "farend/rfc2217/rfc2217.h"

#include "farend/text/prose.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                        SE = 240;
constexpr unsigned char BINARY = 0, ECHO = 1, SGA = 3, COM_PORT = 44;
// client-to-server commands; the server answers each with the command plus 100
constexpr unsigned char SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3,
                        SET_STOPSIZE = 4, SET_CONTROL = 5, NOTIFY_LINESTATE = 6,
                        NOTIFY_MODEMSTATE = 7, FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9,
                        SET_LINESTATE_MASK = 10, SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;
constexpr unsigned char SERVER = 100;
constexpr unsigned char DTR_ON = 8, RTS_ON = 11;
constexpr unsigned char PURGE_BOTH = 3;
// line state: break, framing, parity, overrun
constexpr unsigned char LS_BREAK = 16, LS_FRAMING = 8, LS_PARITY = 4, LS_OVERRUN = 2;
constexpr unsigned char kLineMask = LS_BREAK | LS_FRAMING | LS_PARITY | LS_OVERRUN;
// modem state: CD, RI, DSR, CTS and their deltas (RI's is its trailing edge)
constexpr unsigned char MS_CD = 128, MS_RI = 64, MS_DSR = 32, MS_CTS = 16;
constexpr unsigned char kModemMask = 0xFF;
constexpr std::size_t kControlsRemembered = 16;
const char kOurSignature[] = "farend";

// Servers that answer SET-BAUDRATE with one byte give an index into this list.
constexpr std::uint32_t kBaudIndex[] = {0,     300,   600,    1200,   2400,   4800,  9600, 14400,
                                        19200, 28800, 38400, 57600, 115200, 230400, 460800, 921600};

std::string three(unsigned char a, unsigned char b, unsigned char c)
{
    return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
}

int parityCode(char p)
{
    switch (p) {
    case 'O': return 2;
    case 'E': return 3;
    case 'M': return 4;
    case 'S': return 5;
    default: return 1;
    }
}

int bitIndex(unsigned bit)
{
    return __builtin_ctz(bit);
}

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

const char *commandName(unsigned char c)
{
    static const char *const names[] = {
        "SIGNATURE",           "SET-BAUDRATE",        "SET-DATASIZE",       "SET-PARITY",
        "SET-STOPSIZE",        "SET-CONTROL",         "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",
        "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME",  "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
        "PURGE-DATA"};
    return c <= PURGE_DATA ? names[c] : "?";
}
} // namespace

std::string Rfc2217Client::greeting()
{
    us[COM_PORT] = us[BINARY] = Q::WantYes;
    him[BINARY] = him[SGA] = Q::WantYes;
    return three(IAC, WILL, COM_PORT) + three(IAC, WILL, BINARY) + three(IAC, DO, BINARY) +
           three(IAC, DO, SGA);
}

std::string Rfc2217Client::encode(const std::string &data) const
{
    std::string out;
    out.reserve(data.size() + 4);
    for (char c : data) {
        out.push_back(c);
        if (static_cast<unsigned char>(c) == IAC)
            out.push_back(c);
        else if (c == '\r' && !binaryOut())
            out.push_back('\0');   // NVT: a bare CR goes as CR NUL
    }
    return out;
}

void Rfc2217Client::negotiate(unsigned char v, unsigned char option, std::string &reply)
{
    const bool weWant = option == BINARY || option == SGA || option == COM_PORT;
    // the server's echo is harmless to accept on a raw line; everything else we ask for
    const bool theyMay = weWant || option == ECHO;
    Q &mine = us[option];
    Q &theirs = him[option];
    switch (v) {
    case DO:
        if (mine == Q::No) {
            mine = weWant ? Q::Yes : Q::No;
            reply += three(IAC, weWant ? WILL : WONT, option);
        } else if (mine != Q::Yes) {
            mine = mine == Q::WantYes ? Q::Yes : Q::No;   // our WONT answered by DO: stay off
        }
        if (option == COM_PORT && mine == Q::Yes)
            comPort_ = ComPort::Accepted;
        break;
    case DONT:
        if (mine == Q::Yes)
            reply += three(IAC, WONT, option);
        mine = Q::No;
        if (option == COM_PORT)
            comPort_ = ComPort::Refused;
        break;
    case WILL:
        if (theirs == Q::No) {
            theirs = theyMay ? Q::Yes : Q::No;
            reply += three(IAC, theyMay ? DO : DONT, option);
        } else if (theirs != Q::Yes) {
            theirs = theirs == Q::WantYes ? Q::Yes : Q::No;
        }
        break;
    case WONT:
        if (theirs == Q::Yes)
            reply += three(IAC, DONT, option);
        theirs = Q::No;
        break;
    }
}

void Rfc2217Client::answered(unsigned bit, Answer answer, std::string value, std::string quirk)
{
    acked |= bit;
    requests[bitIndex(bit)] = {answer, std::move(value), std::move(quirk)};
}

void Rfc2217Client::notParsed(std::string what)
{
    ++unparsed_;
    lastUnparsed_ = std::move(what);
}

void Rfc2217Client::subnegotiation(double nowMs, std::string &reply)
{
    if (sub.empty() || static_cast<unsigned char>(sub[0]) != COM_PORT)
        return;   // another option's: nothing of ours
    if (sub.size() < 2) {
        notParsed("a COM-PORT-OPTION subnegotiation without a command");
        return;
    }
    const unsigned char command = static_cast<unsigned char>(sub[1]);
    std::string value = sub.substr(2);
    if (command < SERVER || command > SERVER + PURGE_DATA) {
        notParsed("COM-PORT-OPTION command " + std::to_string(command) + " from the server");
        return;
    }
    const unsigned char c = command - SERVER;
    const std::string name = commandName(c);
    // the one-byte commands; a longer value with trailing NULs is a known server's form
    std::string quirk;
    if (c != SIGNATURE && c != SET_BAUDRATE && c != FLOWCONTROL_SUSPEND &&
        c != FLOWCONTROL_RESUME) {
        if (trimTrailingNuls(value, 1))
            quirk = "trailing NULs";
        if (value.size() != 1) {
            notParsed(name + " with a value of " + std::to_string(value.size()) + " bytes");
            return;
        }
    }
    const unsigned char byte = value.empty() ? 0 : static_cast<unsigned char>(value[0]);
    auto sameOr = [](bool same) { return same ? Answer::Same : Answer::Other; };

    switch (c) {
    case SIGNATURE:
        if (value.empty()) {
            // the server asks for ours: answered once, so that asking again loops nothing
            if (!signatureGiven) {
                signatureGiven = true;
                reply += ask(SIGNATURE, kOurSignature, 0);
            }
            break;
        }
        while (!value.empty() && value.back() == '\0')
            value.pop_back();
        answered(kSignature, Answer::Same, value);
        break;
    case SET_BAUDRATE: {
        std::uint32_t baud = 0;
        if (trimTrailingNuls(value, 4))
            quirk = "trailing NULs";
        if (value.size() == 4) {
            for (int i = 0; i < 4; ++i)
                baud = (baud << 8) | static_cast<unsigned char>(value[i]);
        } else if (value.size() == 1 && byte < std::size(kBaudIndex) && byte > 0) {
            baud = kBaudIndex[byte];
            quirk = "a one-byte index (" + std::to_string(byte) + ")";
        } else {
            notParsed(name + " with a value of " + std::to_string(value.size()) + " bytes");
            return;
        }
        reported.baud = baud;
        answered(kBaud, sameOr(baud == askedSettings.baud), std::to_string(baud), quirk);
        break;
    }
    case SET_DATASIZE:
        if (byte < 5 || byte > 8) {
            notParsed(name + " " + std::to_string(byte));
            return;
        }
        reported.dataBits = byte;
        answered(kDataSize, sameOr(byte == askedSettings.dataBits), std::to_string(byte), quirk);
        break;
    case SET_PARITY:
        if (byte < 1 || byte > 5) {
            notParsed(name + " " + std::to_string(byte));
            return;
        }
        reported.parity = "?NOEMS"[byte];
        answered(kParity, sameOr(reported.parity == askedSettings.parity),
                 std::string(1, reported.parity), quirk);
        break;
    case SET_STOPSIZE:
        if (byte < 1 || byte > 3) {
            notParsed(name + " " + std::to_string(byte));
            return;
        }
        reported.stopBits = byte == 2 ? 2 : byte == 3 ? 15 : 1;
        answered(kStopSize, sameOr(reported.stopBits == askedSettings.stopBits),
                 byte == 3 ? "1.5" : std::to_string(byte), quirk);
        break;
    case SET_CONTROL: {
        if (controlAsked.empty())
            break;   // an answer to nothing asked: the server's own report, not needed here
        const unsigned char wanted = controlAsked.front();
        controlAsked.pop_front();
        const unsigned bit = wanted == DTR_ON ? kDtr : kRts;
        // some servers answer every SET-CONTROL with one fixed value
        answered(bit, sameOr(byte == wanted), std::to_string(byte),
                 byte == wanted ? quirk : "another value (" + std::to_string(byte) + ")");
        break;
    }
    case NOTIFY_LINESTATE:
        // ser2net answers the mask with a notification of the line's state
        if (request(kLineStateMask).answer == Answer::Waiting)
            answered(kLineStateMask, Answer::Same, hex(byte), "a NOTIFY-LINESTATE");
        ++lineNotified.count;
        *line.breaks += (byte & LS_BREAK) != 0;
        *line.framing += (byte & LS_FRAMING) != 0;
        *line.parity += (byte & LS_PARITY) != 0;
        *line.overrun += (byte & LS_OVERRUN) != 0;
        lineNotified.unaskedBits += (byte & ~kLineMask) != 0;
        break;
    case NOTIFY_MODEMSTATE: {
        if (request(kModemStateMask).answer == Answer::Waiting)
            answered(kModemStateMask, Answer::Same, hex(byte), "a NOTIFY-MODEMSTATE");
        ++modemNotified.count;
        // a line changed when its delta bit says so or its state differs from the last report
        auto changed = [&](unsigned char state, unsigned char delta) {
            return (byte & delta) || (modem.last && ((*modem.last ^ byte) & state));
        };
        modem.cts += changed(MS_CTS, 1);
        modem.dsr += changed(MS_DSR, 2);
        modem.ri += changed(MS_RI, 4);
        modem.cd += changed(MS_CD, 8);
        modemNotified.unaskedBits += (byte & ~modemMask) != 0;
        modem.last = byte;
        break;
    }
    case FLOWCONTROL_SUSPEND:
        if (!suspended()) {
            suspendedSince = nowMs;
            ++suspensions_;
        }
        break;
    case FLOWCONTROL_RESUME:
        if (suspended()) {
            suspendedTotal += std::max(0.0, nowMs - suspendedSince);
            suspendedSince = -1;
        }
        break;
    case SET_LINESTATE_MASK:
        answered(kLineStateMask, sameOr(byte == lineMask), hex(byte), quirk);
        break;
    case SET_MODEMSTATE_MASK:
        answered(kModemStateMask, sameOr(byte == modemMask), hex(byte), quirk);
        break;
    case PURGE_DATA:
        answered(kPurge, sameOr(byte == PURGE_BOTH), std::to_string(byte), quirk);
        break;
    }
}

void Rfc2217Client::decodeInto(const char *bytes, std::size_t n, double nowMs, std::string &data,
                               std::string &reply)
{
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (state) {
        case State::Data:
        case State::Cr:
            if (c == IAC) {
                state = State::Iac;
                break;
            }
            // without binary, a CR from the server comes as CR NUL or CR LF
            if (state == State::Cr && c == 0 && !binaryIn()) {
                state = State::Data;
                break;
            }
            data.push_back(static_cast<char>(c));
            state = c == '\r' && !binaryIn() ? State::Cr : State::Data;
            break;
        case State::Iac:
            if (c == IAC) {
                data.push_back(static_cast<char>(IAC));
                state = State::Data;
            } else if (c == WILL || c == WONT || c == DO || c == DONT) {
                verb = c;
                state = State::Verb;
            } else if (c == SB) {
                sub.clear();
                subLength = 0;
                state = State::Sub;
            } else {
                state = State::Data;   // NOP, GA and the like carry nothing here
            }
            break;
        case State::Verb:
            negotiate(verb, c, reply);
            state = State::Data;
            break;
        case State::Sub:
        case State::SubIac:
            if (state == State::Sub && c == IAC) {
                state = State::SubIac;
                break;
            }
            if (state == State::SubIac && c == SE) {
                subnegotiation(nowMs, reply);
                state = State::Data;
                break;
            }
            // a plain byte, or IAC IAC: a 0xFF in the value
            state = State::Sub;
            if (++subLength > kSubnegotiationLimit) {
                notParsed("a subnegotiation longer than " + std::to_string(kSubnegotiationLimit) +
                          " bytes");
                sub.clear();
                state = State::Data;
                break;
            }
            sub.push_back(static_cast<char>(c));
            break;
        }
    }
}

void Rfc2217Client::decode(const char *bytes, std::size_t n, std::string &data, std::string &reply)
{
    decodeInto(bytes, n, 0, data, reply);
}

void Rfc2217Client::take(const char *bytes, std::size_t n, double nowMs, std::string &data)
{
    std::string reply;
    decodeInto(bytes, n, nowMs, data, reply);
    if (!reply.empty())
        queueControl(reply);
}

std::string Rfc2217Client::ask(unsigned char command, const std::string &value, unsigned bit)
{
    if (bit) {
        asked |= bit;
        acked &= ~bit;
        requests[bitIndex(bit)] = {Answer::Waiting, {}, {}};
    }
    std::string out = three(IAC, SB, COM_PORT);
    out.push_back(static_cast<char>(command));
    for (char c : value) {
        out.push_back(c);
        if (static_cast<unsigned char>(c) == IAC)
            out.push_back(c);
    }
    return out + std::string{static_cast<char>(IAC), static_cast<char>(SE)};
}

std::string Rfc2217Client::setSettings(const LineSettings &s)
{
    askedSettings = s;
    std::string baud(4, '\0');
    for (int i = 0; i < 4; ++i)
        baud[i] = static_cast<char>((s.baud >> (24 - 8 * i)) & 0xFF);
    return ask(SET_BAUDRATE, baud, kBaud) +
           ask(SET_DATASIZE, std::string(1, static_cast<char>(s.dataBits)), kDataSize) +
           ask(SET_PARITY, std::string(1, static_cast<char>(parityCode(s.parity))), kParity) +
           ask(SET_STOPSIZE, std::string(1, static_cast<char>(s.stopBits == 2 ? 2 : 1)),
               kStopSize);
}

std::string Rfc2217Client::raiseModemLines()
{
    for (unsigned char v : {DTR_ON, RTS_ON}) {
        controlAsked.push_back(v);
        if (controlAsked.size() > kControlsRemembered)
            controlAsked.pop_front();
    }
    return ask(SET_CONTROL, std::string(1, static_cast<char>(DTR_ON)), kDtr) +
           ask(SET_CONTROL, std::string(1, static_cast<char>(RTS_ON)), kRts);
}

std::string Rfc2217Client::askWhatTheServerKnows()
{
    lineMask = kLineMask;
    modemMask = kModemMask;
    return ask(SIGNATURE, "", kSignature) +
           ask(SET_LINESTATE_MASK, std::string(1, static_cast<char>(lineMask)), kLineStateMask) +
           ask(SET_MODEMSTATE_MASK, std::string(1, static_cast<char>(modemMask)),
               kModemStateMask);
}

std::string Rfc2217Client::purge()
{
    return ask(PURGE_DATA, std::string(1, static_cast<char>(PURGE_BOTH)), kPurge);
}

const Rfc2217Client::RequestState &Rfc2217Client::request(unsigned bit) const
{
    return requests[bitIndex(bit)];
}

const char *Rfc2217Client::requestName(unsigned bit)
{
    static const char *const names[] = {
        "SET-BAUDRATE", "SET-DATASIZE",       "SET-PARITY",          "SET-STOPSIZE",
        "SET-CONTROL (DTR)", "SET-CONTROL (RTS)", "SIGNATURE", "SET-LINESTATE-MASK",
        "SET-MODEMSTATE-MASK", "PURGE-DATA"};
    return names[bitIndex(bit)];
}

std::string Rfc2217Client::describe(unsigned commands)
{
    static const char *const names[] = {"baud rate", "data size", "parity", "stop size",
                                        "DTR", "RTS", "signature", "line-state mask",
                                        "modem-state mask", "purge"};
    std::string text;
    for (int i = 0; i < kRequests; ++i)
        if (commands & (1u << i))
            text += (text.empty() ? "" : ", ") + std::string(names[i]);
    return text;
}

double Rfc2217Client::suspendedMs(double nowMs) const
{
    return suspendedTotal + (suspended() ? std::max(0.0, nowMs - suspendedSince) : 0);
}

void Rfc2217Client::failWith(std::string reason)
{
    if (!failed())   // the first reason is the one that ended it
        fail(std::move(reason));
}

void Rfc2217Client::queueControl(const std::string &bytes)
{
    if (control.size() + bytes.size() > kControlLimit) {
        failWith("the device server does not read what it is sent: more than " +
                 std::to_string(kControlLimit / 1024) +
                 " KiB of answers to its negotiation are waiting");
        return;
    }
    control += bytes;
}

void Rfc2217Client::queueData(const std::string &data)
{
    const std::string escaped = encode(data);
    if (dataOut.size() + escaped.size() > kDataLimit) {
        failWith(std::string("the device server takes no data") +
                 (suspended() ? " since it suspended the flow" : "") + ": more than " +
                 std::to_string(kDataLimit / 1024) + " KiB are waiting for it");
        return;
    }
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

std::string Rfc2217Client::summary(double nowMs) const
{
    std::string text = "device server ";
    text += signature().empty() ? "unnamed" : "\"" + signature() + "\"";
    text += ", port " + (reported.baud ? reported.text() : std::string("not reported"));
    if (const LineErrorCounts l = reportedLineErrors(); l.reported())
        text += ", line errors " + std::to_string(*l.breaks) + " break, " +
                std::to_string(*l.framing) + " framing, " + std::to_string(*l.parity) +
                " parity, " + std::to_string(*l.overrun) + " overrun";
    else
        text += ", line errors not reported";
    if (const auto m = reportedModemLines()) {
        text += ", modem lines " + count(m->changes(), "change", "changes") + " (CTS " +
                std::to_string(m->cts) + ", DSR " + std::to_string(m->dsr) + ", CD " +
                std::to_string(m->cd) + ", RI " + std::to_string(m->ri) + ")";
    } else {
        text += ", modem lines not reported";
    }
    if (suspensions_ > 0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.3f", suspendedMs(nowMs) / 1000.0);
        text += ", suspended " + count(suspensions_, "time", "times") + " for " + buf + " s";
    }
    std::string other, quirks;
    for (int i = 0; i < kRequests; ++i) {
        const RequestState &r = requests[i];
        if (r.answer == Answer::Other)
            other += (other.empty() ? "" : ", ") + describe(1u << i) + " " + r.value;
        if (r.answer != Answer::Waiting && !r.quirk.empty())
            quirks += (quirks.empty() ? "" : ", ") + describe(1u << i) + " as " + r.quirk;
    }
    if (!other.empty())
        text += "; answered otherwise: " + other;
    if (!quirks.empty())
        text += "; non-standard answers: " + quirks;
    const unsigned missing = asked & ~acked;
    if (missing)
        text += "; not reported by the device server: " + describe(missing);
    if (unparsed_ > 0)
        text += "; " + count(unparsed_, "reply", "replies") + " not parsed (last: " +
                lastUnparsed_ + ")";
    return text;
}
