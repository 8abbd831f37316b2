#include "farend/rfc2217.h"

namespace {
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                        SE = 240;
constexpr unsigned char BINARY = 0, ECHO = 1, SGA = 3, COM_PORT = 44;
// client-to-server commands; the server answers each with the command plus 100
constexpr unsigned char SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                        SET_CONTROL = 5;
constexpr unsigned char DTR_ON = 8, RTS_ON = 11;

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
} // namespace

std::string Rfc2217Client::greeting()
{
    weWill[COM_PORT] = weWill[BINARY] = true;
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
        else if (c == '\r' && !binaryOut)
            out.push_back('\0');   // NVT: a bare CR goes as CR NUL
    }
    return out;
}

// Answers only what changes an option's state, so that two sides never loop (RFC 854).
void Rfc2217Client::negotiate(unsigned char v, unsigned char option, std::string &reply)
{
    const bool wanted = option == BINARY || option == SGA || option == COM_PORT;
    switch (v) {
    case DO:
        if (option == COM_PORT)
            comPort_ = ComPort::Accepted;
        if (option == BINARY)
            binaryOut = true;
        if (wanted && !weWill[option]) {
            weWill[option] = true;
            reply += three(IAC, WILL, option);
        } else if (!wanted) {
            reply += three(IAC, WONT, option);
        }
        break;
    case DONT:
        if (option == COM_PORT)
            comPort_ = ComPort::Refused;
        if (option == BINARY)
            binaryOut = false;
        if (weWill[option]) {
            weWill[option] = false;
            reply += three(IAC, WONT, option);
        }
        break;
    case WILL: {
        // the server's echo is harmless to accept on a raw line; everything else we ask for
        const bool accept = wanted || option == ECHO;
        if (option == BINARY)
            binaryIn = true;
        if (accept && !theyWill[option]) {
            theyWill[option] = true;
            if (option != BINARY && option != SGA)
                reply += three(IAC, DO, option);
        } else if (!accept) {
            reply += three(IAC, DONT, option);
        }
        break;
    }
    case WONT:
        if (option == BINARY)
            binaryIn = false;
        if (theyWill[option]) {
            theyWill[option] = false;
            reply += three(IAC, DONT, option);
        }
        break;
    }
}

void Rfc2217Client::subnegotiation(std::string &)
{
    if (sub.size() < 2 || static_cast<unsigned char>(sub[0]) != COM_PORT)
        return;
    const unsigned char command = static_cast<unsigned char>(sub[1]);
    const std::string value = sub.substr(2);
    auto byteValue = [&] { return value.empty() ? 0 : static_cast<unsigned char>(value[0]); };
    switch (command) {
    case SET_BAUDRATE + 100:
        if (value.size() >= 4) {
            reported.baud = 0;
            for (int i = 0; i < 4; ++i)
                reported.baud = (reported.baud << 8) | static_cast<unsigned char>(value[i]);
        }
        acked |= kBaud;
        break;
    case SET_DATASIZE + 100:
        reported.dataBits = byteValue();
        acked |= kDataSize;
        break;
    case SET_PARITY + 100:
        reported.parity = "?NOEMS"[byteValue() <= 5 ? byteValue() : 0];
        acked |= kParity;
        break;
    case SET_STOPSIZE + 100:
        reported.stopBits = byteValue() == 2 ? 2 : byteValue() == 3 ? 15 : 1;
        acked |= kStopSize;
        break;
    case SET_CONTROL + 100:
        if (byteValue() == DTR_ON)
            acked |= kDtr;
        else if (byteValue() == RTS_ON)
            acked |= kRts;
        break;
    default:
        break;   // notifications (line and modem state) are not needed to carry data
    }
}

void Rfc2217Client::decode(const char *bytes, std::size_t n, std::string &data,
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
            if (state == State::Cr && c == 0 && !binaryIn) {
                state = State::Data;
                break;
            }
            data.push_back(static_cast<char>(c));
            state = c == '\r' && !binaryIn ? State::Cr : State::Data;
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
            if (c == IAC)
                state = State::SubIac;
            else if (sub.size() < 64)
                sub.push_back(static_cast<char>(c));
            break;
        case State::SubIac:
            if (c == SE) {
                subnegotiation(reply);
                state = State::Data;
            } else {
                if (sub.size() < 64)
                    sub.push_back(static_cast<char>(c));   // IAC IAC: a 0xFF in the value
                state = State::Sub;
            }
            break;
        }
    }
}

std::string Rfc2217Client::request(unsigned char command, const std::string &value, unsigned bit)
{
    asked |= bit;
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
    std::string baud(4, '\0');
    for (int i = 0; i < 4; ++i)
        baud[i] = static_cast<char>((s.baud >> (24 - 8 * i)) & 0xFF);
    return request(SET_BAUDRATE, baud, kBaud) +
           request(SET_DATASIZE, std::string(1, static_cast<char>(s.dataBits)), kDataSize) +
           request(SET_PARITY, std::string(1, static_cast<char>(parityCode(s.parity))), kParity) +
           request(SET_STOPSIZE, std::string(1, static_cast<char>(s.stopBits == 2 ? 2 : 1)),
                   kStopSize);
}

std::string Rfc2217Client::raiseModemLines()
{
    return request(SET_CONTROL, std::string(1, static_cast<char>(DTR_ON)), kDtr) +
           request(SET_CONTROL, std::string(1, static_cast<char>(RTS_ON)), kRts);
}

std::string Rfc2217Client::describe(unsigned commands)
{
    static const char *const names[] = {"baud rate", "data size", "parity", "stop size", "DTR",
                                        "RTS"};
    std::string text;
    for (int i = 0; i < 6; ++i)
        if (commands & (1u << i))
            text += (text.empty() ? "" : ", ") + std::string(names[i]);
    return text;
}
