// The client side of Telnet COM Port Control (RFC 2217), as a COM port redirector speaks it to a
// device server: option negotiation, 0xFF escaped both ways, the port's settings and modem lines
// as requests that never hold up the data, and what the server knows of its UART (line errors,
// modem lines, its name), each request's answer kept so that a summary can say what the server
// did not report.
#pragma once

#include "farend/io/fallible.h"
#include "farend/line/linecounts.h"
#include "farend/line/linesettings.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

class Rfc2217Client : public Fallible {
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
    // Requests beyond the port's settings: what the server knows.
    static constexpr unsigned kSignature = 1u << 6, kLineStateMask = 1u << 7,
                              kModemStateMask = 1u << 8, kPurge = 1u << 9;
    static constexpr int kRequests = 10;

    // --- What the server knows -------------------------------------------------------------

    // The requests that ask for the server's name, its line errors (break, framing, parity,
    // overrun) and modem-line changes (CTS, DSR, CD, RI).
    std::string askWhatTheServerKnows();
    // Asks the server to drop what both its buffers hold (a new run starts).
    std::string purge();

    // How the server answered a request.
    enum class Answer {
        NotAsked,
        Waiting,   // asked, nothing yet: at the end, "not reported by the device server"
        Same,      // answered with the value asked for (or, for the signature, with a name)
        Other,     // answered with another value
    };
    struct RequestState {
        Answer answer = Answer::NotAsked;
        std::string value;   // what the server answered, in words ("9600", "0x1e", "ser2net ...")
        std::string quirk;   // a non-standard form it was taken in, empty when standard
    };
    // `request` is one of the bits above.
    const RequestState &request(unsigned request) const;
    static const char *requestName(unsigned request);

    const std::string &signature() const { return request(kSignature).value; }

    // Notifications the server sent of a kind, and those that carried bits not asked for.
    struct Notified {
        long long count = 0;
        long long unaskedBits = 0;
    };
    // Break, framing, parity and overrun as the server's NOTIFY-LINESTATE counted them.
    const LineErrorCounts &lineErrors() const { return line; }
    const Notified &lineStateNotified() const { return lineNotified; }
    // Changes of CTS, DSR, CD and RI as the server's NOTIFY-MODEMSTATE counted them.
    const ModemLineCounts &modemLines() const { return modem; }
    const Notified &modemStateNotified() const { return modemNotified; }

    // The counts as a summary gives them: nothing where the server neither answered the mask
    // nor sent a notification ("not reported by the device server"), never zeros.
    LineErrorCounts reportedLineErrors() const;
    std::optional<ModemLineCounts> reportedModemLines() const;
    // What the server said, in one line for a summary: its name, its port, its counts, what it
    // answered otherwise or in a non-standard form, what it did not report, what was not parsed.
    std::string summary(double nowMs) const;

    // Replies that could not be parsed: counted and named, never taken as anything else.
    long long unparsed() const { return unparsed_; }
    const std::string &lastUnparsed() const { return lastUnparsed_; }

    // FLOWCONTROL-SUSPEND/RESUME: while suspended, the data waits and reading goes on.
    bool suspended() const { return suspendedSince >= 0; }
    // Time suspended so far, up to `nowMs` if still suspended.
    double suspendedMs(double nowMs) const;
    long long suspensions() const { return suspensions_; }

    // --- Bounded traffic toward the server ---------------------------------------------------
    //
    // The client can hold what goes to the server itself: answers to negotiation and requests
    // (at most kControlLimit bytes) and data (at most kDataLimit bytes, held while suspended).
    // Passing either bound ends the session: failure() says why, in one line.

    static constexpr std::size_t kControlLimit = 16 * 1024;
    static constexpr std::size_t kDataLimit = 64 * 1024;
    // A subnegotiation longer than this is abandoned, counted as unparsed, and what follows is
    // read as data again.
    static constexpr std::size_t kSubnegotiationLimit = 512;

    // Takes bytes from the server at `nowMs`; answers are queued toward it.
    void take(const char *bytes, std::size_t n, double nowMs, std::string &data);
    // Queues the tester's data toward the server (escaped); the requests above, queued.
    void queueData(const std::string &data);
    void queueControl(const std::string &bytes);
    // What is ready to go to the server now: control first, data unless suspended.
    std::string_view outgoing() const;
    // `n` bytes of outgoing() went out (nothing taken or queued in between).
    void wrote(std::size_t n);
    std::size_t queued() const { return control.size() + dataOut.size(); }

private:
    // RFC 1143's Q method, without the queue bit: one answer per change of an option's state,
    // so that no two sides ever answer each other in a loop.
    enum class Q : unsigned char { No, Yes, WantNo, WantYes };
    void negotiate(unsigned char verb, unsigned char option, std::string &reply);
    void subnegotiation(double nowMs, std::string &reply);
    void answered(unsigned bit, Answer answer, std::string value, std::string quirk = {});
    void notParsed(std::string what);
    std::string ask(unsigned char command, const std::string &value, unsigned bit);
    void failWith(std::string reason);
    void decodeInto(const char *bytes, std::size_t n, double nowMs, std::string &data,
                    std::string &reply);

    enum class State { Data, Iac, Verb, Sub, SubIac, Cr };
    State state = State::Data;
    unsigned char verb = 0;
    std::string sub;
    std::size_t subLength = 0;
    Q us[256] = {};     // options on our side
    Q him[256] = {};    // options on the server's side
    bool binaryIn() const { return him[0] == Q::Yes; }
    bool binaryOut() const { return us[0] == Q::Yes; }
    ComPort comPort_ = ComPort::Asked;
    unsigned acked = 0, asked = 0;
    LineSettings reported;
    LineSettings askedSettings;
    RequestState requests[kRequests];
    std::deque<unsigned char> controlAsked;   // SET-CONTROL values not yet answered, in order
    unsigned char lineMask = 0, modemMask = 0;
    bool signatureGiven = false;
    LineErrorCounts line{0, 0, 0, 0, {}, {}, {}};   // a device server counts no bytes
    ModemLineCounts modem;
    Notified lineNotified, modemNotified;
    long long unparsed_ = 0;
    std::string lastUnparsed_;
    double suspendedSince = -1, suspendedTotal = 0;
    long long suspensions_ = 0;
    std::string control, dataOut;
};
