#include "app/SignalCatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[2] = {SIGINT, SIGTERM};

volatile std::sig_atomic_t g_caught = 0;
// The write end of the pipe on which the handler passes a signal to the event loop.
volatile int g_signalPipe = -1;

extern "C" void passSignal(int sig) {
    if (!g_caught)
        g_caught = sig;
    const char c = static_cast<char>(sig);
    if (g_signalPipe >= 0) [[maybe_unused]]
        const ssize_t n = ::write(g_signalPipe, &c, 1);
}

} // namespace

struct SignalCatcher::Saved {
    struct sigaction old[2]{};
};

SignalCatcher::SignalCatcher(std::function<void(int)> onSignal)
    : saved_(std::make_unique<Saved>()) {
    g_caught = 0;
    if (onSignal && ::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) == 0) {
        g_signalPipe = fds_[1];
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, onSignal] {
            char c = 0;
            while (::read(fds_[0], &c, 1) == 1)
                onSignal(c);
        });
    }
    struct sigaction sa {};
    sa.sa_handler = passSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 2; ++i)
        ::sigaction(kSignals[i], &sa, &saved_->old[i]);
}

SignalCatcher::~SignalCatcher() {
    for (int i = 0; i < 2; ++i)
        ::sigaction(kSignals[i], &saved_->old[i], nullptr);
    g_signalPipe = -1;
    notifier_.reset();
    for (int fd : fds_)
        if (fd >= 0)
            ::close(fd);
}

int SignalCatcher::caught() const {
    return g_caught;
}
