// The client side of Telnet COM Port Control (RFC 2217), as a COM port redirector speaks it to a
// device server, over the Telnet layer: the port's settings and modem lines as requests that
// never hold up the data, and what the server knows of its UART (line errors, modem lines, its
// name). Each request is kept with how it was answered, so that the reports can say what the
// server did not report; each command the server sends has one handler.
#pragma once

#include "farend/error/fallible.h"
#include "farend/figures/chain.h"
#include "farend/line/linecounts.h"
#include "farend/line/linesettings.h"
#include "farend/rfc2217/telnet.h"

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Rfc2217Client : public Telnet, public Fallible {
public:
    enum class ComPort { Asked, Accepted, Refused };

    // What opens the session: we will do COM Port Control and binary, and ask the server for
    // binary and suppress-go-ahead.
    std::string greeting();
    ComPort comPort() const { return comPort_; }

    // --- Requests ------------------------------------------------------------------------------

    // The requests that set the server's port to `s`, raise DTR and RTS.
    std::string setSettings(const LineSettings &s);
    std::string raiseModemLines();
    // The requests that ask for the server's name, its line errors (break, framing, parity,
    // overrun) and modem-line changes (CTS, DSR, CD, RI).
    std::string askWhatTheServerKnows();
    // Asks the server to drop what both its buffers hold (a new run starts).
    std::string purge();

    enum Request {
        kBaud, kDataSize, kParity, kStopSize, kDtr, kRts,   // the port's settings
        kSignature, kLineStateMask, kModemStateMask, kPurge,   // what the server knows
        kRequests
    };
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
    const RequestState &request(Request r) const { return requests[r]; }
    // "baud rate", "DTR", "line-state mask"; and the command that asks it ("SET-BAUDRATE").
    static const char *requestWords(Request r);
    static const char *requestCommand(Request r);
    // The requests asked and not answered, in words.
    std::vector<std::string> notAcknowledged() const;
    // The settings the server last reported for its port (0 baud before any).
    const LineSettings &serverSettings() const { return reported; }
    const std::string &signature() const { return request(kSignature).value; }

    // --- What the server reported --------------------------------------------------------------

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
    // The counts as the reports give them: none where the server neither answered the mask
    // nor sent a notification ("not reported by the device server"), never zeros.
    LineErrorCounts reportedLineErrors() const;
    std::optional<ModemLineCounts> reportedModemLines() const;
    // Everything else it said of itself, at `nowMs`.
    ServerFacts facts(double nowMs) const;

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
    // The client holds what goes to the server itself: answers to negotiation and requests (at
    // most kControlLimit bytes) and data (at most kDataLimit bytes, held while suspended).
    // Passing either bound ends the session: failure() says why, in one line.

    static constexpr std::size_t kControlLimit = 16 * 1024;
    static constexpr std::size_t kDataLimit = 64 * 1024;

    // Takes bytes from the server at `nowMs`: its data to `data`, answers queued toward it.
    void take(const char *bytes, std::size_t n, double nowMs, std::string &data);
    // Queues the tester's data toward the server (escaped); the requests above, queued.
    void queueData(const std::string &data);
    void queueControl(const std::string &bytes);
    // What is ready to go to the server now: control first, data unless suspended.
    std::string_view outgoing() const;
    // `n` bytes of outgoing() went out (nothing taken or queued in between).
    void wrote(std::size_t n);
    std::size_t queued() const { return control.size() + dataOut.size(); }

protected:
    bool weDo(unsigned char option) const override;
    bool theyMay(unsigned char option) const override;
    void told(unsigned char verb, unsigned char option) override;
    void subnegotiated(const std::string &body, std::string &reply) override;
    void notParsed(std::string what) override;

private:
    // A command from the server: its value (one byte, where the command takes one), the form
    // it came in, and where an answer to it goes.
    struct Reply {
        std::string value;
        unsigned char byte = 0;
        std::string quirk;
        std::string &answer;
    };
    struct Handler {
        const char *name;   // "SET-BAUDRATE"
        bool oneByte;       // its value is one byte
        void (Rfc2217Client::*handle)(Reply &);
    };
    static const Handler handlers[];

    void signatureReply(Reply &r);
    void baudRate(Reply &r);
    void dataSize(Reply &r);
    void parity(Reply &r);
    void stopSize(Reply &r);
    void setControl(Reply &r);
    void lineState(Reply &r);
    void modemState(Reply &r);
    void suspend(Reply &r);
    void resume(Reply &r);
    void lineStateMask(Reply &r);
    void modemStateMask(Reply &r);
    void purged(Reply &r);

    void answered(Request r, bool same, std::string value, std::string quirk = {});
    std::string asking(Request r, unsigned char command, const std::string &value);
    // Ends the session: the server does not take what it is sent.
    void stalled(std::string reason);

    ComPort comPort_ = ComPort::Asked;
    double now = 0;   // when the bytes being taken came
    LineSettings reported;
    LineSettings askedSettings;
    RequestState requests[kRequests];
    std::deque<unsigned char> controlAsked;   // SET-CONTROL values not yet answered, in order
    unsigned char lineMask = 0, modemMask = 0;
    bool signatureGiven = false;
    LineErrorCounts line{0, 0, 0, 0, {}, {}, {}};   // a device server counts no bytes
    ModemLineCounts modem;
    Notified lineNotified, modemNotified;
    long long purges = 0;
    long long unparsed_ = 0;
    std::string lastUnparsed_;
    double suspendedSince = -1, suspendedTotal = 0;
    long long suspensions_ = 0;
    std::string control, dataOut;
};
