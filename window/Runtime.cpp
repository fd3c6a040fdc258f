#include "window/Runtime.h"

#include <QMessageBox>

#include <stdexcept>

namespace {

// Thrown to unwind an outer handler after a nested one failed; the nested error is reported.
struct NestedHandlerError : std::runtime_error {
    NestedHandlerError()
        : std::runtime_error("error in a nested handler") {}
};

} // namespace

Runtime::Runtime(QWidget* window, std::function<void()> endProgram)
    : window_(window)
    , endProgram_(std::move(endProgram)) {}

void Runtime::dispatch(const std::function<void()>& handler) {
    // While an error is pending, and while its report is up, no other event runs.
    if (ended_ || errorPending_)
        return;
    auto record = [this](const QString& what) {
        if (!errorPending_)
            pendingError_ = what; // the first error is the one reported
        errorPending_ = true;
    };
    ++depth_;
    try {
        handler();
    } catch (const NestedHandlerError&) {
        // The nested handler's error is already recorded.
    } catch (const std::exception& e) {
        record(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        record(QStringLiteral("unknown error"));
    }
    --depth_;
    if (depth_ == 0 && errorPending_) {
        msgBox(errorText(pendingError_), QStringLiteral("Run-time error"));
        end();
    }
}

void Runtime::rethrowNested() const {
    if (errorPending_ && depth_ > 0)
        throw NestedHandlerError();
}

void Runtime::msgBox(const QString& prompt, const QString& title) const {
    if (sink_)
        return sink_(prompt, title);
    // Before the window is shown a box has no window to sit on and is centred on the screen.
    QWidget* parent = window_ && window_->isVisible() ? window_ : nullptr;
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok, parent);
    box.exec();
}

void Runtime::end() {
    if (ended_)
        return;
    ended_ = true;
    if (endProgram_)
        endProgram_();
}

QString Runtime::errorText(const QString& what) {
    return QStringLiteral("Run-time error: %1\n\nThe program will end.").arg(what);
}
