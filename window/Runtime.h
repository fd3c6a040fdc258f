#pragma once

#include <QString>

#include <exception>
#include <functional>

class QWidget;

// What the window's handlers rely on around them: running each event's handler, reporting an
// unexpected error raised inside one, modal message boxes, and ending the program.
//
// An error inside a handler ends that handler at the statement that raised it. A handler that
// raises a nested event (by changing a relay box) must call rethrowNested() right after the
// change, so that an error inside the nested handler also ends the outer one there. Only the
// outermost event reports the error, once, and then ends the program.
class Runtime {
public:
    // endProgram is called once, when the program ends; window parents the message boxes.
    Runtime(QWidget* window, std::function<void()> endProgram);

    // Runs the handler of one event; ignored once the program is ending or ended.
    void dispatch(const std::function<void()>& handler);
    // Rethrows an error that a nested handler raised; a no-op otherwise.
    void rethrowNested() const;

    // A modal box with the prompt, the title, one OK button and no icon; with a message sink
    // set, the sink gets the prompt and title instead and nothing waits for a click.
    void msgBox(const QString& prompt, const QString& title) const;
    using MessageSink = std::function<void(const QString& prompt, const QString& title)>;
    void setMessageSink(MessageSink sink) { sink_ = std::move(sink); }

    // Ends the program: no further event is dispatched.
    void end();
    bool ended() const { return ended_; }
    // Whether an unexpected error ended it.
    bool endedByError() const { return ended_ && errorPending_; }
    // True while no handler runs: the outermost event has finished.
    bool idle() const { return depth_ == 0; }

    // The text shown for an unexpected error.
    static QString errorText(const QString& what);

private:
    QWidget* window_;
    std::function<void()> endProgram_;
    MessageSink sink_;
    int depth_ = 0;
    bool ended_ = false;
    QString pendingError_;
    bool errorPending_ = false;
};
