#pragma once

#include "card/CardControl.h"
#include "looptest/LoopResults.h"
#include "window/Runtime.h"

#include <QWidget>

#include <array>
#include <cstdint>

namespace layout {
struct Control;
}
class QAbstractButton;
class QAbstractSlider;
class QGroupBox;
class QLabel;
class QPushButton;
class WindowTimer;

// The test window: 16 relay boxes, 16 photo boxes, 16 error counters, the loop counter, the
// verdict, two speed controls and their timers, and the card control. Constructing it creates
// every control from the layout table and shows nothing; Form_Load opens the card. What its
// handlers count and decide goes to its results, which its labels show and others watch.
class LoopTest : public QWidget {
    Q_OBJECT
public:
    explicit LoopTest(CardControl& tak, QWidget* parent = nullptr);
    ~LoopTest() override;

    // Event handlers, named after control and event.
    void Form_Load();
    void Command1_Click();
    void R16_Click(std::int16_t Index);
    void getTimer_Timer();
    void autoCmd_Click();
    void Timer1_Timer();
    void resetCmd_Click();
    void VScroll1_Change();
    void VScroll2_Change();

    // True once the program has ended (OK, a failed start, the frame's close, or an error).
    bool isEnded() const { return runtime_.ended(); }
    // Whether an unexpected error inside a handler ended it.
    bool endedByError() const { return runtime_.endedByError(); }
    // Sends the window's messages to sink instead of modal boxes, for runs without a display.
    void setMessageSink(Runtime::MessageSink sink) { runtime_.setMessageSink(std::move(sink)); }

    // The loop's results, for those who watch them.
    const LoopResults& results() const { return results_; }
    // Counting goes on from these counts, which the counters show at once.
    void presetCounts(const LoopResults::Counts& counts);

    // For those who drive the window without a person: each acts as a person would, and the
    // handlers run as they would for the person.
    // Sets the two spin bars; their change handlers run.
    void setSpeeds(int stepMs, int readbackMs);
    // Relay box i, for those who click it as a person does.
    QAbstractButton* relayBox(int i) const { return R16[i]; }
    // Whether a relay write waits for its read-back.
    bool readBackPending() const;

    // The window's events, for those who watch what its handlers did.
    enum class Event { Load, Ok, Relay, ReadBack, Auto, Step, Reset, StepSpeed, ReadBackSpeed };
    Q_ENUM(Event)

signals:
    // Emitted once when the program ends; main quits the event loop on it.
    void programEnded();
    // Emitted after the handler of an event, and every handler it raised, have finished.
    void handled(LoopTest::Event event);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    QWidget* createControl(const layout::Control& control, QWidget* container);
    void setTabOrder();
    void connectEvents();
    void endProgram();
    // Runs an event's handler through the runtime, then tells the watchers.
    void handle(Event event, const std::function<void()>& handler);

    // A check box's state, 0 (clear) or 1 (ticked).
    static int state(const QAbstractButton* box);
    // Sets a box's state; a change raises the box's click, which runs before this returns.
    void setState(QAbstractButton* box, int value);
    // Paints the changes waiting to be shown, now rather than after the handler.
    void paintPending();
    // Switches a timer on or off; a timer that already runs keeps its schedule.
    static void setTimerEnabled(WindowTimer* timer, bool enabled);
    // Switches the read-back on, one read-back delay after the last write returned: a read-back
    // that an earlier write of the same event armed now counts from this one, so none reads
    // the card sooner than its delay after the write it checks.
    void armReadBack();
    // The card control's port calls, each told to the results as it returns. A failed write is
    // charged to relay chargeTo, or to no relay (-1).
    bool writePort(std::int32_t port, std::int16_t data, int chargeTo = -1);
    bool readPort(std::int32_t port, std::int16_t& data);
    // The counters show the results.
    void showResults();
    // Names and describes every control for screen readers.
    void describeForScreenReaders();

    CardControl& Tak;
    LoopResults results_;
    Runtime runtime_;
    bool centred_ = false;
    std::int64_t lastWriteNs_ = 0; // when the last write returned, on the timers' clock

    // Controls, created from the layout table.
    std::array<QAbstractButton*, 16> R16{};
    std::array<QAbstractButton*, 16> P16{};
    std::array<QLabel*, 16> errLb{};
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* getspeedLb = nullptr;
    QLabel* setspeedLb = nullptr;
    QLabel* matchLb = nullptr;
    QPushButton* resetCmd = nullptr;
    QPushButton* autoCmd = nullptr;
    QPushButton* Command1 = nullptr;
    QAbstractSlider* VScroll1 = nullptr;
    QAbstractSlider* VScroll2 = nullptr;
    WindowTimer* getTimer = nullptr;
    WindowTimer* Timer1 = nullptr;

    // Window variables.
    std::int16_t relayVal = 0; // the relay byte last built for a port
    std::int16_t lastIdx = 0;  // the channel the previous auto step closed
    std::int16_t curIdx = 0;   // the current auto step, or the relay box last clicked
    std::int16_t autoOn = 0;   // 0 manual, -1 auto stepping
};
