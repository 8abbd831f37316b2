#include "mstimer.h"

#include <QPointer>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>

#include <sys/timerfd.h>
#include <unistd.h>

TMsTimer::TMsTimer(QObject *owner) : QObject(owner)
{
    fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        std::perror("timerfd_create");
        std::abort();   // no timer, no test: nothing sensible to fall back to
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

// Setting the kernel timer also forgets expirations not yet read, so nothing stale follows.
void TMsTimer::arm()
{
    itimerspec spec{};
    if (enabled && interval > 0) {
        spec.it_interval.tv_sec = interval / 1000;
        spec.it_interval.tv_nsec = static_cast<long>(interval % 1000) * 1000000L;
        spec.it_value = spec.it_interval;
    }
    timerfd_settime(fd, 0, &spec, nullptr);
    notifier->setEnabled(enabled && interval > 0 && !inTick);
}

void TMsTimer::expired()
{
    std::uint64_t expirations = 0;
    // nothing to read: disarmed or re-armed after the event loop saw it readable
    if (read(fd, &expirations, sizeof expirations) != sizeof expirations || !enabled || inTick)
        return;

    inTick = true;
    notifier->setEnabled(false);   // ticks due meanwhile wait in the kernel counter as one
    QPointer<TMsTimer> alive(this);
    if (OnTimer)
        OnTimer(this);
    if (!alive)
        return;
    inTick = false;
    notifier->setEnabled(enabled && interval > 0);
}
