#pragma once

// The two sides of the window's measurements: the real window on the loop-back simulator with
// every card call time-stamped, and a bare window of the same size and boxes.

#include "Bench.h"

#include "card/simulator/LoopbackSimulator.h"
#include "looptest/LoopTest.h"
#include "runlog/RunRecorder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

namespace bench {

class StampCard : public CardControl {
public:
    bool SelectDevice() override { return true; }
    void setActive(bool) override {}
    // A read-back is timed from the last write before it, as that write returns: an auto step
    // writes its byte twice (clearing the last step's box runs the step once more inside
    // itself), and its read-back counts from the second.
    bool WritePort(std::int32_t port, std::int16_t data) override {
        ++writes;
        const bool ok = sim.write(port, data);
        lastWriteNs = nowNs();
        return ok;
    }
    bool ReadPort(std::int32_t port, std::int16_t& data) override {
        if (port == 0 && onRead)
            onRead(nowNs() - lastWriteNs);
        const bool ok = sim.read(port, data);
        if (everyInputWrong)
            data = static_cast<std::int16_t>(~data & 0xFF);
        return ok;
    }
    bool everyInputWrong = false; // every channel fails on every loop
    LoopbackSimulator sim;
    std::int64_t lastWriteNs = 0;
    long writes = 0;
    std::function<void(std::int64_t sinceWriteNs)> onRead;
};

struct Program {
    StampCard card;
    std::unique_ptr<LoopTest> w;
    QTemporaryDir logDir;
    std::unique_ptr<RunRecorder> recorder;

    // logged: with the run's recorder and its log, as the program runs by default.
    explicit Program(bool logged = false) {
        w = std::make_unique<LoopTest>(card);
        // Start-up asks for the driver in a box; answer it as soon as it shows.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
        answer.start(0);
        w->Form_Load();
        if (logged) {
            recorder = std::make_unique<RunRecorder>(w->results());
            QString why;
            recorder->startLog(logDir.filePath(QStringLiteral("run.csv")), QStringLiteral("bench"),
                               {}, why);
        }
    }
    void setSpeeds(int stepMs, int readMs) { w->setSpeeds(stepMs, readMs); }
    void showAndWait() {
        w->show();
        waitExposed(*w);
    }
    // Flips a relay box, as a click does: the write, and the read-back timer armed.
    void toggle(int i) {
        QAbstractButton* box = w->relayBox(i % 16);
        box->setChecked(!box->isChecked());
    }
    // One relay write and its read-back through the handlers, without waiting.
    void loopOnce(int i) {
        toggle(i);
        w->getTimer_Timer();
    }
};

// A bare window of 48 push buttons and a label, the baseline of the window.
class BareWindow : public QWidget {
public:
    BareWindow() {
        setFixedSize(531, 263);
        for (int i = 0; i < 16; ++i) {
            for (int row = 0; row < 3; ++row) {
                auto* b = new QPushButton(QStringLiteral("%1%2").arg("RPE"[row]).arg(i), this);
                b->setCheckable(true);
                b->setGeometry(8 + 32 * i, 80 + 56 * row, 33, 33);
                (row == 0 ? relays : row == 1 ? photos : others)[i] = b;
            }
        }
        label = new QLabel(QStringLiteral("0"), this);
        label->setGeometry(128, 56, 57, 17);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAutoFillBackground(true);
    }
    // The same changes an auto step makes: the relay boxes at once, the photo boxes and the
    // loop count after the read-back delay.
    void step(int delayMs) {
        const int last = cur;
        cur = (cur + 1) % 16;
        relays[last]->setChecked(false);
        relays[cur]->setChecked(true);
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, last] {
            photos[15 - last]->setChecked(false);
            photos[15 - cur]->setChecked(true);
            label->setText(QString::number(++loops));
        });
    }
    void flipOnce(int i) {
        relays[i % 16]->setChecked(!relays[i % 16]->isChecked());
        photos[15 - i % 16]->setChecked(relays[i % 16]->isChecked());
        label->setText(QString::number(++loops));
    }
    std::array<QPushButton*, 16> relays{}, photos{}, others{};
    QLabel* label = nullptr;
    int cur = 15;
    long loops = 0;
};

} // namespace bench
