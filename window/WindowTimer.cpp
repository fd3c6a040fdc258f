#include "window/WindowTimer.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QVarLengthArray>

#include <algorithm>
#include <vector>

#include <ctime>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// The kernel-clock timers of each thread, so that ticks due together go out in the order of
// their deadlines, as Qt's own timers do: a read-back due before a step comes before it even
// when the thread wakes late for both.
thread_local std::vector<WindowTimer*> t_timers;

std::int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

WindowTimer::WindowTimer(QObject* parent)
    : QObject(parent) {
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0) {
        fallback_ = new QTimer(this);
        fallback_->setTimerType(Qt::PreciseTimer);
        connect(fallback_, &QTimer::timeout, this, &WindowTimer::timeout);
        return;
    }
    // The kernel otherwise lets a sleeping thread's wake-up slip by up to 50 µs to batch it
    // with others; this thread's ticks are measurements.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    t_timers.push_back(this);
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { expired(); });
}

WindowTimer::~WindowTimer() {
    t_timers.erase(std::remove(t_timers.begin(), t_timers.end(), this), t_timers.end());
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

void WindowTimer::setInterval(int ms) {
    intervalMs_ = ms < 0 ? 0 : ms;
    if (fallback_)
        return fallback_->setInterval(intervalMs_);
    if (active_)
        start();
}

int WindowTimer::remainingTime() const {
    if (!active_)
        return -1;
    if (fallback_)
        return fallback_->remainingTime();
    const std::int64_t left = deadlineNs_ - monotonicNs();
    return left > 0 ? static_cast<int>((left + 999'999) / 1'000'000) : 0;
}

std::int64_t WindowTimer::nowNs() {
    return monotonicNs();
}

void WindowTimer::start() {
    startFrom(monotonicNs());
}

void WindowTimer::startFrom(std::int64_t originNs) {
    active_ = true;
    ++generation_;
    if (fallback_)
        return fallback_->start(intervalMs_);
    arm(originNs + std::int64_t(intervalMs_) * 1'000'000);
}

void WindowTimer::stop() {
    active_ = false;
    ++generation_;
    if (fallback_)
        return fallback_->stop();
    const itimerspec off{};
    ::timerfd_settime(fd_, 0, &off, nullptr);
}

void WindowTimer::arm(std::int64_t deadlineNs) {
    deadlineNs_ = deadlineNs;
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(deadlineNs / 1'000'000'000);
    at.it_value.tv_nsec = static_cast<long>(deadlineNs % 1'000'000'000);
    if (at.it_value.tv_sec == 0 && at.it_value.tv_nsec == 0)
        at.it_value.tv_nsec = 1; // zero would disarm
    ::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &at, nullptr);
}

void WindowTimer::expired() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
    // Every timer of this thread that is due ticks now, earliest deadline first; this one may
    // have ticked already with another's (its wake-up is then stale and nothing is due).
    const std::int64_t now = monotonicNs();
    // On the stack: this runs on every tick, before the handler the read-back waits on.
    QVarLengthArray<QPointer<WindowTimer>, 4> due;
    for (WindowTimer* t : t_timers)
        if (t->active_ && t->deadlineNs_ <= now)
            due.append(t);
    std::sort(due.begin(), due.end(),
              [](const auto& a, const auto& b) { return a->deadlineNs_ < b->deadlineNs_; });
    for (const QPointer<WindowTimer>& t : due)
        if (t && t->active_ && t->deadlineNs_ <= now)
            t->fire();
}

void WindowTimer::fire() {
    // The tick goes out first, so that nothing stands between the deadline and the handler;
    // the next deadline follows this one whatever the handler took, unless it stopped or
    // restarted the timer. A timer that fell a whole interval behind starts afresh from now
    // rather than firing in a burst.
    const std::uint64_t generation = ++generation_;
    emit timeout();
    if (!active_ || generation != generation_)
        return;
    const std::int64_t period = std::int64_t(intervalMs_) * 1'000'000;
    const std::int64_t now = monotonicNs();
    std::int64_t next = deadlineNs_ + period;
    if (next <= now)
        next = now + period;
    arm(next);
}
