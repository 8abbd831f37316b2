// Millisecond timer component: a kernel periodic timer (timerfd) watched from the event loop,
// so ticks keep their period at 1 ms where a QTimer drifts and drops.
//
// - The first tick comes one period after enabling; a new Interval while running starts a
//   fresh period. Interval 0 delivers nothing.
// - OnTimer runs on the thread that owns the timer and is never re-entered: ticks that come due
//   while it runs (or while a modal box opened from it is up) merge into one, delivered as soon
//   as the event loop runs again. A slow handler therefore never builds a backlog.
// - Ticks missed because the event loop was late (the process was not scheduled, a long
//   repaint) are delivered late instead of lost, one per pass of the event loop, for lateness
//   up to kCatchUpMs; a longer stall merges the rest.
// - After Enabled is set to false no further tick is delivered.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>

class QSocketNotifier;

class TMsTimer : public QObject {
    Q_OBJECT
public:
    static constexpr std::uint32_t kCatchUpMs = 50;

    explicit TMsTimer(QObject *owner = nullptr);
    ~TMsTimer() override;

    void SetEnabled(bool value);
    void SetInterval(std::uint32_t milliseconds);
    bool Enabled() const { return enabled; }
    std::uint32_t Interval() const { return interval; }

    std::function<void(QObject *sender)> OnTimer;

private:
    void arm();
    void expired();
    void deliverOwed();
    void fire();
    std::uint64_t catchUpTicks() const;
    std::uint64_t takeExpirations();
    // Only when the schedule says one is due: an empty read is a system call a tick.
    std::uint64_t takeDueExpirations();
    void owe(std::uint64_t lateTicks);

    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    bool enabled = false;
    bool inTick = false;
    bool deliveryQueued = false;
    std::uint32_t interval = 0;   // the owner gives the period; until then nothing ticks
    std::uint64_t owed = 0;   // ticks due but not yet delivered
    std::int64_t nextDueNs = 0;   // CLOCK_MONOTONIC of the first expiration not yet read
    std::int64_t armedNs = 0;     // the kernel timer's period, which a refused setting keeps
};
