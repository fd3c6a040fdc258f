#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Catches SIGINT and SIGTERM for its life, so that a run without a display can stop as a
// person would (every relay opened, its record and reports written) instead of dying.
// caught() is the first signal that came, for code that asks between its steps; onSignal, when
// given, is called for each signal from the event loop (a handler can reach nothing else).
class SignalCatcher {
public:
    explicit SignalCatcher(std::function<void(int)> onSignal = {});
    ~SignalCatcher();
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

    int caught() const;

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    struct Saved;
    std::unique_ptr<Saved> saved_;
};
