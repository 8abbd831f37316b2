#include "farend/server/serve.h"

#include "serial/clock.h"

#include <algorithm>

bool serve(Transport &transport, SimulatedDevice &device, const std::function<bool()> &stop)
{
    std::string outbox;   // replies that were due but the line has not taken yet
    auto discardOutbox = [&] {
        device.lost(outbox.size());
        outbox.clear();
    };
    std::string in;
    while (!stop()) {
        const double now = monotonicMs();
        const std::string due = device.takeDue(now);
        const std::size_t room = kOutboxLimit - std::min(kOutboxLimit, outbox.size());
        outbox.append(due, 0, room);
        if (due.size() > room)
            device.lost(due.size() - room);
        if (!outbox.empty()) {
            const long n = transport.send(outbox);
            if (n < 0)
                discardOutbox();   // the line refused them: they never went
            else {
                device.sent(static_cast<std::size_t>(n));
                outbox.erase(0, static_cast<std::size_t>(n));
            }
        }
        if (device.hangupDue(now)) {
            discardOutbox();
            if (transport.hangUp())
                device.newLine();
            else
                device.lineCut();
        }

        // wake for the next reply, or now and then to notice the end
        double wait = 50;
        if (const double next = device.nextDueMs(); next >= 0)
            wait = std::min(wait, std::max(0.0, next - monotonicMs()));
        if (!outbox.empty())
            wait = std::min(wait, 1.0);
        in.clear();
        const Transport::Event event = transport.wait(wait, in);
        const double at = monotonicMs();
        for (char c : in)
            device.received(static_cast<unsigned char>(c), at);
        if (event == Transport::Event::Closed) {
            discardOutbox();
            device.newLine();
        } else if (event == Transport::Event::Failed) {
            return false;
        }
    }
    return true;
}
