// Telnet as a COM port redirector speaks it to a device server: data with 0xFF doubled both
// ways and a bare CR sent as CR NUL until binary is agreed; options negotiated by RFC 1143's Q
// method, so that two sides never answer each other in a loop; subnegotiations collected up to
// a bound. The layer above says which options it takes and what a subnegotiation means.
#pragma once

#include <cstddef>
#include <string>

class Telnet {
public:
    static constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251,
                                   kSb = 250, kSe = 240;
    static constexpr unsigned char kBinary = 0, kEcho = 1, kSga = 3, kComPort = 44;
    // A subnegotiation longer than this is abandoned, said as not parsed, and the rest of it is
    // discarded up to its IAC SE (or the IAC that starts a command), never taken as data.
    static constexpr std::size_t kSubnegotiationLimit = 512;

    virtual ~Telnet() = default;

    // Data for the server: 0xFF doubled, and CR NUL while we may not send binary.
    std::string encode(const std::string &data) const;
    // Takes bytes from the server: its data goes to `data`, answers to its negotiation to
    // `reply`; subnegotiations go to the layer above.
    void decode(const char *bytes, std::size_t n, std::string &data, std::string &reply);

    // Subnegotiations abandoned over the limit, and the bytes of them discarded.
    long long abandoned() const { return abandoned_; }
    long long discarded() const { return discarded_; }

protected:
    // Offers to do `option` ourselves (WILL), or asks the server to (DO).
    std::string offer(unsigned char option);
    std::string ask(unsigned char option);
    // Whether we do `option` now.
    bool ours(unsigned char option) const { return us[option] == Q::Yes; }
    // IAC SB `option` `command` `value` IAC SE, 0xFF in the value doubled.
    static std::string subnegotiation(unsigned char option, unsigned char command,
                                      const std::string &value);

    // Whether we agree to do `option` when the server asks (DO), and let it (WILL).
    virtual bool weDo(unsigned char option) const = 0;
    virtual bool theyMay(unsigned char option) const = 0;
    // The server said `verb` (DO, DONT, WILL, WONT) of `option`; the state is settled.
    virtual void told(unsigned char verb, unsigned char option) = 0;
    // A whole subnegotiation from the server, IAC IAC taken as one 0xFF: its option first.
    virtual void subnegotiated(const std::string &body, std::string &reply) = 0;
    // Something the server sent that means nothing here, in words.
    virtual void notParsed(std::string what) = 0;

private:
    // RFC 1143's Q method, without the queue bit: one answer per change of an option's state.
    enum class Q : unsigned char { No, Yes, WantNo, WantYes };
    enum class State { Data, Iac, Verb, Sub, SubIac, Cr };
    void negotiate(unsigned char verb, unsigned char option, std::string &reply);
    // A byte within a subnegotiation; false when it is a command that breaks it off, to be
    // read as the byte after an IAC.
    bool byteOfSubnegotiation(unsigned char c, std::string &reply);
    void keep(unsigned char c);
    // The byte after an IAC outside a subnegotiation.
    void afterIac(unsigned char c, std::string &data);
    bool binaryIn() const { return him[kBinary] == Q::Yes; }
    bool binaryOut() const { return us[kBinary] == Q::Yes; }

    State state = State::Data;
    unsigned char verb = 0;
    std::string sub;
    std::size_t subLength = 0;
    bool abandoning = false;   // the subnegotiation passed the limit: discarded to its end
    long long abandoned_ = 0, discarded_ = 0;
    Q us[256] = {};    // options on our side
    Q him[256] = {};   // options on the server's side
};
