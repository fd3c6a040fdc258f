// The window's event handlers. Each runs as one event of the runtime: an error inside it is
// reported and ends the program, and once the program has ended none runs. What they count
// goes to the results, which the counters show.
#include "looptest/LoopTest.h"

#include "window/WindowTimer.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QLabel>
#include <QPushButton>

#include <array>
#include <stdexcept>
#include <string>

namespace {
const QString kSysInfo = QStringLiteral("System information");
const QString kError = QStringLiteral("Error!!!");
} // namespace

void LoopTest::Form_Load() {
    handle(Event::Load, [this] {
        runtime_.msgBox(
            QStringLiteral("Please select 'MORVELLA WDM Drv 1.10 for ISA 16 Photo 16 Relay Card'!"),
            kSysInfo);
        if (Tak.SelectDevice()) {
            Tak.setActive(true);
            relayVal = 0;
            autoOn = 0;
            QPalette pal = matchLb->palette();
            pal.setColor(QPalette::WindowText, QColor(255, 0, 0));
            matchLb->setPalette(pal);
            matchLb->setText(QString());
            getspeedLb->setText(QString::number(getTimer->interval()));
            setspeedLb->setText(QString::number(Timer1->interval()));
        } else {
            runtime_.msgBox(QStringLiteral("Can't open the device."), kSysInfo);
            runtime_.end();
        }
    });
}

void LoopTest::Command1_Click() {
    handle(Event::Ok, [this] {
        if (!writePort(0, 0))
            return;
        if (!writePort(1, 0))
            return;
        runtime_.end();
    });
}

void LoopTest::R16_Click(std::int16_t Index) {
    handle(Event::Relay, [this, Index] {
        if (Index < 0 || Index > 15)
            throw std::out_of_range("there is no relay box R16(" + std::to_string(Index) + ")");

        if (autoOn == 0) {
            // Manual: the byte mirrors the eight boxes of the clicked box's port.
            const int first = Index > 7 ? 8 : 0;
            relayVal = 0;
            for (int i = first; i < first + 8; ++i) {
                if (state(R16[i]) != 0)
                    relayVal = static_cast<std::int16_t>(relayVal + (1 << (i - first)));
            }
            curIdx = Index;
            paintPending();
            if (!writePort(Index / 8, relayVal, Index)) // a failure counts against the box
                setState(R16[curIdx], 0);
        } else {
            // Auto: open the previous step's relay, close the current one alone in its port.
            setState(P16[15 - lastIdx], 0);
            setState(R16[lastIdx], 0);
            relayVal = 1;
            paintPending();
            const int bit = curIdx % 8;
            if (bit != 0)
                relayVal = static_cast<std::int16_t>(1 << bit);
            else
                writePort(1 - curIdx / 8, 0); // entering a port: open the other port's relays
            if (!writePort(curIdx / 8, relayVal, curIdx)) // a failure counts against the step
                setState(R16[curIdx], 0);
        }
        armReadBack();
    });
}

void LoopTest::getTimer_Timer() {
    handle(Event::ReadBack, [this] {
        // Both ports are read first, as close to the set delay as possible; counting the loop
        // and showing the inputs follow and change nothing the reads see.
        std::array<std::int16_t, 2> data{};
        std::array<bool, 2> read{};
        for (int port = 0; port <= 1; ++port)
            read[port] = readPort(port, data[port]);
        results_.countLoop();

        bool mismatch = false;
        for (int port = 0; port <= 1; ++port) {
            if (!read[port])
                continue;
            // A port byte is eight bits; anything above them is noise from the card control.
            int bits = 255 - (data[port] & 0xFF);
            for (int i = 8 * port; i < 8 * port + 8; ++i) {
                setState(P16[i], bits & 1);
                // Input i is wired to relay 15 - i; a mismatch is charged to the relay.
                if (state(P16[i]) != state(R16[15 - i])) {
                    mismatch = true;
                    results_.mismatch(15 - i, state(R16[15 - i]) != 0);
                }
                matchLb->setText(mismatch ? kError : QString());
                bits /= 2;
            }
            results_.checked(port);
        }
        setTimerEnabled(getTimer, false);
        // A port that could not be read was not checked, so the tick is no pass.
        if (!read[0] || !read[1])
            matchLb->setText(kError);
    });
}

void LoopTest::autoCmd_Click() {
    handle(Event::Auto, [this] {
        if (autoCmd->text() != QLatin1String("Auto")) {
            for (int i = 0; i < 16; ++i) {
                R16[i]->setEnabled(true);
                P16[i]->setEnabled(true);
            }
            autoOn = 0;
            results_.setMode(false);
            autoCmd->setText(QStringLiteral("Auto"));
            setTimerEnabled(Timer1, false);
            return;
        }
        autoCmd->setText(QStringLiteral("Stop"));
        // Clearing a ticked relay box runs the manual write of its port, so all relays open.
        for (int i = 0; i < 16; ++i) {
            setState(R16[i], 0);
            setState(P16[i], 0);
            R16[i]->setEnabled(false);
            P16[i]->setEnabled(false);
        }
        curIdx = 15;
        autoOn = -1;
        results_.setMode(true);
        setTimerEnabled(Timer1, true);
    });
}

void LoopTest::Timer1_Timer() {
    handle(Event::Step, [this] {
        lastIdx = curIdx;
        curIdx = lastIdx == 15 ? 0 : static_cast<std::int16_t>(curIdx + 1);
        setState(R16[curIdx], 1); // runs the auto branch of R16_Click
    });
}

void LoopTest::resetCmd_Click() {
    handle(Event::Reset, [this] {
        if (autoCmd->text() != QLatin1String("Auto"))
            return;
        results_.clear(); // the loop count, then each relay's errors
    });
}

void LoopTest::VScroll1_Change() {
    handle(Event::StepSpeed, [this] {
        setspeedLb->setText(QString::number(VScroll1->value()));
        Timer1->setInterval(VScroll1->value());
        results_.setSetting(LoopResults::Setting::StepPeriod, VScroll1->value());
    });
}

void LoopTest::VScroll2_Change() {
    handle(Event::ReadBackSpeed, [this] {
        getspeedLb->setText(QString::number(VScroll2->value()));
        getTimer->setInterval(VScroll2->value());
        results_.setSetting(LoopResults::Setting::ReadBackDelay, VScroll2->value());
    });
}
