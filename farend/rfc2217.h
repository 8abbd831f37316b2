// The client side of Telnet COM Port Control (RFC 2217), as a COM port redirector speaks it to a
// device server: option negotiation, 0xFF escaped both ways, the port's settings and modem lines
// as requests that never hold up the data.
#pragma once

#include "farend/linesettings.h"

#include <cstdint>
#include <string>

class Rfc2217Client {
public:
    enum class ComPort { Asked, Accepted, Refused };

    // What opens the session: we will do COM Port Control and binary, and ask the server for
    // binary and suppress-go-ahead.
    std::string greeting();
    // Data for the server, 0xFF doubled (and CR NUL while we may not send binary).
    std::string encode(const std::string &data) const;
    // Takes bytes from the server: the data goes to `data`, answers to negotiation to `reply`.
    void decode(const char *bytes, std::size_t n, std::string &data, std::string &reply);
    // The requests that set the server's port to `s`, raise DTR and RTS.
    std::string setSettings(const LineSettings &s);
    std::string raiseModemLines();

    ComPort comPort() const { return comPort_; }
    // The requests the server has acknowledged, and those sent; each a bit per command.
    unsigned acknowledged() const { return acked; }
    unsigned requested() const { return asked; }
    // "baud rate, data size, parity, stop size, DTR, RTS" for the bits in `commands`.
    static std::string describe(unsigned commands);
    // The settings the server last reported for its port (0 baud before any).
    const LineSettings &serverSettings() const { return reported; }

    static constexpr unsigned kBaud = 1u << 0, kDataSize = 1u << 1, kParity = 1u << 2,
                              kStopSize = 1u << 3, kDtr = 1u << 4, kRts = 1u << 5;

private:
    void negotiate(unsigned char verb, unsigned char option, std::string &reply);
    void subnegotiation(std::string &reply);
    std::string request(unsigned char command, const std::string &value, unsigned bit);

    enum class State { Data, Iac, Verb, Sub, SubIac, Cr };
    State state = State::Data;
    unsigned char verb = 0;
    std::string sub;
    bool binaryIn = false, binaryOut = false;   // what the server sends us, what we send it
    bool weWill[256] = {};   // options we have agreed to (or offered) on our side
    bool theyWill[256] = {};
    bool afterCr = false;
    ComPort comPort_ = ComPort::Asked;
    unsigned acked = 0, asked = 0;
    LineSettings reported;
};
