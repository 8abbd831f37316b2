#include "timer/mstimer.h"

#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace {

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t periodNs(std::uint32_t milliseconds)
{
    return std::int64_t(milliseconds) * 1000000;
}

} // namespace

TMsTimer::TMsTimer(QObject *owner) : QObject(owner)
{
    fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        // no timer, no test: made before the port opens, so there is nothing to give back
        std::fprintf(stderr, "looptest: no millisecond timer (timerfd_create: %s)\n",
                     std::strerror(errno));
        _exit(1);
    }
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    notifier->setEnabled(false);
    connect(notifier, &QSocketNotifier::activated, this, &TMsTimer::expired);
}

TMsTimer::~TMsTimer()
{
    delete notifier;
    close(fd);
}

void TMsTimer::SetEnabled(bool value)
{
    if (value == enabled)
        return;
    enabled = value;
    arm();
}

void TMsTimer::SetInterval(std::uint32_t milliseconds)
{
    interval = milliseconds;
    if (enabled)
        arm();
}

// Setting the kernel timer also forgets expirations not yet read, so nothing stale follows. The
// first expiration is set as a time on the monotonic clock, so that the timer's schedule is
// known here and the clock, not the kernel, says whether one is due.
void TMsTimer::arm()
{
    itimerspec setting{};
    const std::int64_t first = monotonicNs() + periodNs(interval);
    if (enabled && interval > 0) {
        setting.it_interval.tv_sec = interval / 1000;
        setting.it_interval.tv_nsec = static_cast<long>(interval % 1000) * 1000000L;
        setting.it_value.tv_sec = first / 1000000000;
        setting.it_value.tv_nsec = first % 1000000000;
    }
    const bool on = enabled && interval > 0;
    // stopping needs no kernel timer: the ticks stop with the notifier whatever it does
    if (timerfd_settime(fd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0 && on) {
        std::fprintf(stderr,
                     "looptest: the millisecond timer keeps its last setting (timerfd_settime: "
                     "%s)\n",
                     std::strerror(errno));
        return;
    }
    owed = 0;
    nextDueNs = first;
    armedNs = periodNs(interval);
    notifier->setEnabled(on && !inTick);
}

// How many late ticks fit in the catch-up window at this period (none for long periods).
std::uint64_t TMsTimer::catchUpTicks() const
{
    return kCatchUpMs / std::max(1u, interval);
}

// The expirations the kernel counted since the last read; 0 when there were none.
std::uint64_t TMsTimer::takeExpirations()
{
    std::uint64_t expirations = 0;
    if (read(fd, &expirations, sizeof expirations) != sizeof expirations)
        return 0;
    nextDueNs += std::int64_t(expirations) * armedNs;
    return expirations;
}

std::uint64_t TMsTimer::takeDueExpirations()
{
    // the kernel may count an expiration a moment after the clock passed it: the notifier
    // then delivers it as the next tick
    return monotonicNs() >= nextDueNs ? takeExpirations() : 0;
}

void TMsTimer::owe(std::uint64_t lateTicks)
{
    if (lateTicks > 0)
        owed = std::max(owed, std::min(catchUpTicks(), owed + lateTicks));
}

void TMsTimer::expired()
{
    if (inTick) {
        // the event loop runs inside the handler (a modal box): what comes due stays unread for
        // after the handler, and the loop is not woken for it meanwhile
        notifier->setEnabled(false);
        return;
    }
    const std::uint64_t expirations = takeExpirations();
    // nothing to read: disarmed or re-armed after the event loop saw it readable
    if (expirations == 0 || !enabled)
        return;
    owe(expirations - 1);   // the event loop came late
    fire();
}

void TMsTimer::deliverOwed()
{
    deliveryQueued = false;
    if (!enabled || inTick || owed == 0)
        return;
    --owed;
    // what came due before this late tick is late too, not due during its handler
    owe(takeDueExpirations());
    fire();
}

// The notifier stays on across a tick: switching it off and on again would wake the event
// loop twice a tick for nothing.
void TMsTimer::fire()
{
    inTick = true;
    QPointer<TMsTimer> alive(this);
    if (OnTimer)
        OnTimer(this);
    if (!alive)
        return;
    inTick = false;
    if (!enabled || interval == 0)
        return;
    if (takeDueExpirations() > 0)
        // all that came due while the handler ran, as one tick
        owed = std::min(std::max<std::uint64_t>(1, catchUpTicks()), owed + 1);
    if (!notifier->isEnabled())
        notifier->setEnabled(true);
    if (owed > 0 && !deliveryQueued) {
        deliveryQueued = true;
        QMetaObject::invokeMethod(this, &TMsTimer::deliverOwed, Qt::QueuedConnection);
    }
}
