#pragma once

#include <QObject>

#include <cstdint>
#include <memory>

class QSocketNotifier;
class QTimer;

// One of the window's timers, on the kernel's own clock: a timerfd armed at absolute deadlines
// on CLOCK_MONOTONIC, watched by the event loop, with the thread's timer slack lowered to
// 1 ns, so that a tick comes as close after its deadline as the kernel can wake the thread,
// and never before it. It has QTimer's interval and active properties and timeout signal,
// and keeps a QTimer's meaning: starting a running timer restarts it, a new interval applies
// from the moment it is set, and a repeating timer keeps its schedule from tick to tick.
// Where timerfd is missing it runs on a precise QTimer instead.
class WindowTimer : public QObject {
    Q_OBJECT
    Q_PROPERTY(int interval READ interval WRITE setInterval)
    Q_PROPERTY(bool active READ isActive)
public:
    explicit WindowTimer(QObject* parent = nullptr);
    ~WindowTimer() override;

    int interval() const { return intervalMs_; }
    // Sets the interval in milliseconds; a running timer restarts with it.
    void setInterval(int ms);
    bool isActive() const { return active_; }
    // Milliseconds left until the next tick, or -1 when stopped.
    int remainingTime() const;
    // When the next tick is due, in nanoseconds on CLOCK_MONOTONIC (as QElapsedTimer's
    // monotonic clock), or -1 when stopped or on the fallback timer: what a tick's lateness
    // is measured from.
    std::int64_t deadlineNs() const { return active_ && !fallback_ ? deadlineNs_ : -1; }
    // Whether the kernel's timer serves it (else the fallback QTimer).
    bool onKernelClock() const { return fd_ >= 0; }
    // Now on CLOCK_MONOTONIC in nanoseconds: the clock of deadlineNs() and startFrom().
    static std::int64_t nowNs();

public slots:
    // Starts or restarts: the first tick comes one interval from now.
    void start();
    // Starts or restarts so that the first tick comes one interval after originNs (a moment
    // on nowNs()'s clock, usually past), at once when that has gone by: an interval counted
    // from an event rather than from the call, however long the thread took to get here. The
    // fallback timer counts from now, which is later still.
    void startFrom(std::int64_t originNs);
    void stop();

signals:
    void timeout();

private:
    void arm(std::int64_t deadlineNs);
    void expired();
    void fire();

    int intervalMs_ = 0;
    bool active_ = false;
    int fd_ = -1;
    std::int64_t deadlineNs_ = 0;
    std::uint64_t generation_ = 0; // counts starts and stops, to see what a handler did
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer* fallback_ = nullptr;
};
