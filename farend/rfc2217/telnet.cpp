#include "farend/rfc2217/telnet.h"

namespace {
std::string three(unsigned char a, unsigned char b, unsigned char c)
{
    return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
}
} // namespace

std::string Telnet::encode(const std::string &data) const
{
    std::string out;
    out.reserve(data.size() + 4);
    for (char c : data) {
        out.push_back(c);
        if (static_cast<unsigned char>(c) == kIac)
            out.push_back(c);
        else if (c == '\r' && !binaryOut())
            out.push_back('\0');   // NVT: a bare CR goes as CR NUL
    }
    return out;
}

std::string Telnet::offer(unsigned char option)
{
    us[option] = Q::WantYes;
    return three(kIac, kWill, option);
}

std::string Telnet::ask(unsigned char option)
{
    him[option] = Q::WantYes;
    return three(kIac, kDo, option);
}

std::string Telnet::subnegotiation(unsigned char option, unsigned char command,
                                   const std::string &value)
{
    std::string out = three(kIac, kSb, option);
    out.push_back(static_cast<char>(command));
    for (char c : value) {
        out.push_back(c);
        if (static_cast<unsigned char>(c) == kIac)
            out.push_back(c);
    }
    return out + std::string{static_cast<char>(kIac), static_cast<char>(kSe)};
}

void Telnet::negotiate(unsigned char v, unsigned char option, std::string &reply)
{
    Q &mine = us[option];
    Q &theirs = him[option];
    switch (v) {
    case kDo:
        if (mine == Q::No) {
            mine = weDo(option) ? Q::Yes : Q::No;
            reply += three(kIac, weDo(option) ? kWill : kWont, option);
        } else if (mine != Q::Yes) {
            mine = mine == Q::WantYes ? Q::Yes : Q::No;   // our WONT answered by DO: stay off
        }
        break;
    case kDont:
        if (mine == Q::Yes)
            reply += three(kIac, kWont, option);
        mine = Q::No;
        break;
    case kWill:
        if (theirs == Q::No) {
            theirs = theyMay(option) ? Q::Yes : Q::No;
            reply += three(kIac, theyMay(option) ? kDo : kDont, option);
        } else if (theirs != Q::Yes) {
            theirs = theirs == Q::WantYes ? Q::Yes : Q::No;
        }
        break;
    case kWont:
        if (theirs == Q::Yes)
            reply += three(kIac, kDont, option);
        theirs = Q::No;
        break;
    }
    told(v, option);
}

void Telnet::keep(unsigned char c)
{
    if (abandoning) {
        ++discarded_;
        return;
    }
    if (++subLength > kSubnegotiationLimit) {
        abandoning = true;
        ++abandoned_;
        discarded_ += static_cast<long long>(sub.size()) + 1;
        std::string().swap(sub);
        notParsed("a subnegotiation longer than " + std::to_string(kSubnegotiationLimit) +
                  " bytes");
        return;
    }
    sub.push_back(static_cast<char>(c));
}

bool Telnet::byteOfSubnegotiation(unsigned char c, std::string &reply)
{
    if (state == State::Sub && c == kIac) {
        state = State::SubIac;
        return true;
    }
    if (state == State::SubIac && c != kIac) {
        // IAC SE ends it; IAC and a command break it off, as BSD telnet reads a server's error
        state = State::Data;
        if (c != kSe && !abandoning)
            notParsed("a subnegotiation broken off by a command");
        else if (c == kSe && !abandoning)
            subnegotiated(sub, reply);
        abandoning = false;
        return c == kSe;
    }
    state = State::Sub;   // a plain byte, or IAC IAC: a 0xFF in the value
    keep(c);
    return true;
}

void Telnet::afterIac(unsigned char c, std::string &data)
{
    state = State::Data;   // after IAC IAC, NOP, GA and the like
    if (c == kIac) {
        data.push_back(static_cast<char>(kIac));
    } else if (c == kWill || c == kWont || c == kDo || c == kDont) {
        verb = c;
        state = State::Verb;
    } else if (c == kSb) {
        sub.clear();
        subLength = 0;
        state = State::Sub;
    }
}

void Telnet::decode(const char *bytes, std::size_t n, std::string &data, std::string &reply)
{
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (state) {
        case State::Data:
        case State::Cr:
            if (c == kIac) {
                state = State::Iac;
            } else if (state == State::Cr && c == 0 && !binaryIn()) {
                state = State::Data;   // without binary, a CR comes as CR NUL or CR LF
            } else {
                data.push_back(static_cast<char>(c));
                state = c == '\r' && !binaryIn() ? State::Cr : State::Data;
            }
            break;
        case State::Iac:
            afterIac(c, data);
            break;
        case State::Verb:
            state = State::Data;
            negotiate(verb, c, reply);
            break;
        case State::Sub:
        case State::SubIac:
            if (!byteOfSubnegotiation(c, reply))
                afterIac(c, data);
            break;
        }
    }
}
