#include "card/DeviceSelectingCard.h"
#include "card/comedi/ComediBackend.h"
#include "card/isa/IsaBackend.h"
#include "support/Window.h"

#include "window/WindowTimer.h"

#include <QtTest>

using Call = ScriptedCard::Call;
using W = ScriptedCard;

namespace {

// The writes that close relay c alone in its port; entering a port first opens the other one.
std::vector<Call> stepWrites(int c) {
    std::vector<Call> out;
    if (c % 8 == 0)
        out.push_back(W::write(1 - c / 8, 0));
    out.push_back(W::write(c / 8, 1 << (c % 8)));
    return out;
}

} // namespace

class TstLoop : public QObject {
    Q_OBJECT
private slots:
    void manualWritesTheClickedPortsPattern();
    void manualWritesTheClickedPortsPattern_data();
    void aFailedWriteCountsAndClearsTheBox();
    void readBackShowsInputsAndChargesTheWiredRelay();
    void theVerdictCoversBothPorts();
    void aFailedReadIsNeverAPass();
    void portDataKeepsItsLowEightBits();
    void autoWalksOneRelayThroughAllChannels();
    void autoStartClearsTickedBoxesInBothPorts();
    void resetClearsCountersOnlyInManualMode();
    void countersRunPastTheOldLimits();
    void speedBarsSetLabelsAndTimersInBothModes();
    void autoRunOnTheSimulatorWithRealTimers();
    void aReadBackNeverComesBeforeItsDelayAfterTheLastWrite();
};

void TstLoop::manualWritesTheClickedPortsPattern_data() {
    QTest::addColumn<QList<int>>("clicks"); // box indexes clicked in turn (each flips)
    QTest::addColumn<QList<int>>("bytes");  // the byte written after each click
    QTest::newRow("3 after 0") << QList<int>{0, 3} << QList<int>{1, 9};
    QTest::newRow("untick 12 of 8,12") << QList<int>{8, 12, 12} << QList<int>{1, 17, 1};
    QTest::newRow("top bits") << QList<int>{7, 15, 6} << QList<int>{128, 128, 192};
    QTest::newRow("both ports interleaved")
        << QList<int>{1, 9, 2, 10, 1, 15} << QList<int>{2, 2, 6, 6, 4, 134};
    QTest::newRow("a whole port") << QList<int>{8, 9, 10, 11, 12, 13, 14, 15}
                                  << QList<int>{1, 3, 7, 15, 31, 63, 127, 255};
}

void TstLoop::manualWritesTheClickedPortsPattern() {
    QFETCH(QList<int>, clicks);
    QFETCH(QList<int>, bytes);
    Window win;
    win.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
    for (int k = 0; k < clicks.size(); ++k) {
        const int box = clicks[k];
        win.card.clear();
        QTest::mouseClick(win.R16(box), Qt::LeftButton);
        // One write, to the clicked box's port only, then the read-back is armed.
        QCOMPARE(describe(win.card.calls), describe({W::write(box / 8, bytes[k])}));
        QVERIFY(win.timer("getTimer")->isActive());
    }
    QCOMPARE(win.errors(), QStringLiteral("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"));
}

void TstLoop::aFailedWriteCountsAndClearsTheBox() {
    Window win;
    win.R16(0)->setChecked(true);
    win.card.clear();
    win.card.onWrite = [](int, int) { return false; };

    // Ticking R16(3): the write fails, the box is cleared, and clearing it runs the click again,
    // which writes the remaining pattern and fails again: two errors for one click.
    win.R16(3)->setChecked(true);
    QCOMPARE(describe(win.card.calls), describe({W::write(0, 9, false), W::write(0, 1, false)}));
    QVERIFY(!win.R16(3)->isChecked());
    QCOMPARE(win.errLb(3)->text(), QStringLiteral("2"));
    QVERIFY(win.timer("getTimer")->isActive());

    // Clearing a box whose write fails counts once: the box is already clear.
    win.card.clear();
    win.R16(0)->setChecked(false);
    QCOMPARE(describe(win.card.calls), describe({W::write(0, 0, false)}));
    QCOMPARE(win.errLb(0)->text(), QStringLiteral("1"));
    QCOMPARE(win.errors(), QStringLiteral("1 0 0 2 0 0 0 0 0 0 0 0 0 0 0 0"));
}

void TstLoop::readBackShowsInputsAndChargesTheWiredRelay() {
    Window win;
    // Relay 15 closed and wired as assumed: port 0 reads 254 and input 0 matches.
    win.R16(15)->setChecked(true);
    win.card.clear();
    win.w->getTimer_Timer();
    QCOMPARE(describe(win.card.calls), describe({W::read(0, 254), W::read(1, 255)}));
    QCOMPARE(win.ticked(false), 0x0001);
    QCOMPARE(win.errors(), QStringLiteral("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"));
    QCOMPARE(win.verdict(), QString());
    QCOMPARE(win.loops(), QStringLiteral("1"));
    QVERIFY(!win.timer("getTimer")->isActive());

    // Relay 3 closed, but its input (12) never goes active: relay 3's counter grows per tick.
    win.R16(15)->setChecked(false);
    win.R16(3)->setChecked(true);
    win.card.onRead = [](int port, std::int16_t& data) {
        if (port == 1)
            data = 255;
        return true;
    };
    for (int t = 0; t < 3; ++t)
        win.w->getTimer_Timer();
    QCOMPARE(win.errLb(3)->text(), QStringLiteral("3"));
    QCOMPARE(win.verdict(), QStringLiteral("Error!!!"));
    QCOMPARE(win.loops(), QStringLiteral("4"));

    // Inputs active with no relay closed: each charges the relay wired to it (15 - i).
    win.R16(3)->setChecked(false);
    win.card.onRead = [](int port, std::int16_t& data) {
        data = static_cast<std::int16_t>(port == 0 ? 255 - 0x05 : 255 - 0x80);
        return true;
    };
    win.w->getTimer_Timer();
    QCOMPARE(win.ticked(false), 0x8005);
    QCOMPARE(win.errors(), QStringLiteral("1 0 0 3 0 0 0 0 0 0 0 0 0 1 0 1"));
}

void TstLoop::theVerdictCoversBothPorts() {
    Window win;
    // Port 0 mismatches (input 1 active, relay 14 open); port 1 reads clean.
    win.card.onRead = [](int port, std::int16_t& data) {
        data = static_cast<std::int16_t>(port == 0 ? 255 - 0x02 : 255);
        return true;
    };
    win.w->getTimer_Timer();
    QCOMPARE(win.verdict(), QStringLiteral("Error!!!"));
    QCOMPARE(win.errLb(14)->text(), QStringLiteral("1"));

    // A clean tick empties the verdict again.
    win.card.onRead = nullptr;
    win.w->getTimer_Timer();
    QCOMPARE(win.verdict(), QString());

    // Port 0 clean, port 1 mismatching (input 15 active, relay 0 open).
    win.card.onRead = [](int port, std::int16_t& data) {
        data = static_cast<std::int16_t>(port == 1 ? 255 - 0x80 : 255);
        return true;
    };
    win.w->getTimer_Timer();
    QCOMPARE(win.verdict(), QStringLiteral("Error!!!"));
    QCOMPARE(win.errLb(0)->text(), QStringLiteral("1"));
}

void TstLoop::aFailedReadIsNeverAPass() {
    Window win;
    // Show something in both ports first: relays 15 and 7 closed (inputs 0 and 8).
    win.R16(15)->setChecked(true);
    win.R16(7)->setChecked(true);
    win.w->getTimer_Timer();
    QCOMPARE(win.ticked(false), 0x0101);
    QCOMPARE(win.verdict(), QString());

    // Port 0 fails: its photo boxes stay, port 1 is still checked, and the tick is no pass.
    win.R16(15)->setChecked(false); // input 0 now inactive, but port 0 cannot show it
    win.R16(7)->setChecked(false);  // input 8 now inactive, and port 1 shows it
    win.card.onRead = [](int port, std::int16_t&) { return port != 0; };
    win.card.clear();
    win.w->getTimer_Timer();
    QCOMPARE(describe(win.card.calls), describe({W::read(0, 0, false), W::read(1, 255)}));
    QCOMPARE(win.ticked(false), 0x0001);
    QCOMPARE(win.errors(), QStringLiteral("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0")); // port 0 unchecked
    QCOMPARE(win.verdict(), QStringLiteral("Error!!!"));
    QCOMPARE(win.loops(), QStringLiteral("2"));
    QVERIFY(!win.timer("getTimer")->isActive());

    // Both fail: the loop is counted, the timer stops, nothing else changes, and no pass shows.
    win.card.onRead = nullptr;
    win.w->getTimer_Timer();
    win.R16(15)->setChecked(true); // arms the read-back again
    QCOMPARE(win.verdict(), QString());
    win.card.onRead = [](int, std::int16_t&) { return false; };
    const QString errorsBefore = win.errors();
    const int photosBefore = win.ticked(false);
    win.w->getTimer_Timer();
    QCOMPARE(win.loops(), QStringLiteral("4"));
    QCOMPARE(win.errors(), errorsBefore);
    QCOMPARE(win.ticked(false), photosBefore);
    QCOMPARE(win.verdict(), QStringLiteral("Error!!!"));
    QVERIFY(!win.timer("getTimer")->isActive());
    QVERIFY(!win.w->isEnded());
}

void TstLoop::portDataKeepsItsLowEightBits() {
    Window win;
    // 0x1FE is 254 in its low byte (input 0 active); -1 is 255 (none); -32768 is 0 (all).
    win.R16(15)->setChecked(true);
    const std::int16_t answers[][2] = {{0x1FE, -1}, {0x7FFE, 0x0100}, {-32768, -32768}};
    const int expectedPhotos[] = {0x0001, 0xFF01, 0xFFFF};
    for (int k = 0; k < 3; ++k) {
        win.card.onRead = [&, k](int port, std::int16_t& data) {
            data = answers[k][port];
            return true;
        };
        win.w->getTimer_Timer();
        QCOMPARE(win.ticked(false), expectedPhotos[k]);
    }
    QVERIFY(!win.w->isEnded());
    // Only the last tick had inputs active that no closed relay drives: 1..15 charge 14..0.
    QCOMPARE(win.errors(), QStringLiteral("2 2 2 2 2 2 2 2 1 1 1 1 1 1 1 0"));
}

void TstLoop::autoWalksOneRelayThroughAllChannels() {
    Window win;
    win.w->autoCmd_Click();
    QCOMPARE(win.button("autoCmd")->text(), QStringLiteral("Stop"));
    QVERIFY(win.timer("Timer1")->isActive());
    QVERIFY(win.card.calls.empty()); // nothing was ticked, so nothing to clear

    // No relay moves while a read-back is pending, so none is read sooner than the delay
    // after it moved: the step arms the read-back after its first write, and the repeat
    // write of the re-run step changes nothing.
    int movedWhilePending = 0;
    win.card.onWrite = [&](int port, int data) {
        if (win.card.relays(port) != (data & 0xFF) && win.timer("getTimer")->isActive())
            ++movedWhilePending;
        return true;
    };
    int current = 15;
    for (int tick = 0; tick < 35; ++tick) {
        win.card.clear();
        const int previous = current;
        current = (current + 1) % 16;
        win.w->Timer1_Timer();
        // The previous box was ticked (except at the start), so clearing it re-runs the step.
        std::vector<Call> expected = stepWrites(current);
        if (tick > 0) {
            const auto again = stepWrites(current);
            expected.insert(expected.end(), again.begin(), again.end());
        }
        QCOMPARE(describe(win.card.calls), describe(expected));
        QCOMPARE(win.ticked(true), 1 << current);
        QCOMPARE(win.card.relays(0) | (win.card.relays(1) << 8), 1 << current);
        QVERIFY(!win.R16(previous)->isChecked() || previous == current);
        QVERIFY(win.timer("getTimer")->isActive());

        win.w->getTimer_Timer();
        QCOMPARE(win.ticked(false), 1 << (15 - current));
        QCOMPARE(win.verdict(), QString());
    }
    QCOMPARE(movedWhilePending, 0);
    QCOMPARE(win.loops(), QStringLiteral("35"));
    QCOMPARE(win.errors(), QStringLiteral("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"));

    // Stop: the boxes come back, the last relay stays closed and ticked, and no more steps.
    win.card.clear();
    win.w->autoCmd_Click();
    QCOMPARE(win.button("autoCmd")->text(), QStringLiteral("Auto"));
    QVERIFY(!win.timer("Timer1")->isActive());
    QVERIFY(win.card.calls.empty());
    QCOMPARE(win.ticked(true), 1 << current);
    for (int i = 0; i < 16; ++i)
        QVERIFY(win.R16(i)->isEnabled() && win.P16(i)->isEnabled());

    // Back in manual mode a click writes its port's boxes again.
    win.R16(5)->setChecked(true);
    QCOMPARE(describe(win.card.calls), describe({W::write(0, (1 << current) | 32)}));
}

void TstLoop::autoStartClearsTickedBoxesInBothPorts() {
    Window win;
    win.R16(2)->setChecked(true);
    win.R16(9)->setChecked(true);
    win.w->getTimer_Timer();
    QCOMPARE(win.ticked(false), (1 << 13) | (1 << 6));
    win.card.clear();

    win.w->autoCmd_Click();
    QCOMPARE(describe(win.card.calls), describe({W::write(0, 0), W::write(1, 0)}));
    QCOMPARE(win.ticked(true), 0);
    QCOMPARE(win.ticked(false), 0);
    for (int i = 0; i < 16; ++i)
        QVERIFY(!win.R16(i)->isEnabled() && !win.P16(i)->isEnabled());
    QVERIFY(win.timer("getTimer")->isActive()); // the clearing writes are read back too

    // The user cannot click a box while auto runs; the first step closes relay 0.
    QTest::mouseClick(win.R16(4), Qt::LeftButton);
    QVERIFY(!win.R16(4)->isChecked());
    win.card.clear();
    win.w->Timer1_Timer();
    QCOMPARE(describe(win.card.calls), describe(stepWrites(0)));
    QCOMPARE(win.ticked(true), 1);
}

void TstLoop::resetClearsCountersOnlyInManualMode() {
    Window win;
    win.card.onRead = [](int, std::int16_t& data) {
        data = 0; // every input active
        return true;
    };
    win.w->getTimer_Timer();
    win.w->getTimer_Timer();
    const QString counted = win.errors();
    QCOMPARE(counted, QStringLiteral("2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2"));

    win.w->autoCmd_Click();
    win.card.clear();
    win.w->resetCmd_Click();
    QCOMPARE(win.errors(), counted);
    QCOMPARE(win.loops(), QStringLiteral("2"));

    win.w->autoCmd_Click(); // stop
    win.w->getTimer_Timer();
    QCOMPARE(win.ticked(false), 0xFFFF);
    win.card.clear();
    QTest::mouseClick(win.button("resetCmd"), Qt::LeftButton);
    QCOMPARE(win.errors(), QStringLiteral("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"));
    QCOMPARE(win.loops(), QStringLiteral("0"));
    QCOMPARE(win.verdict(), QStringLiteral("Error!!!")); // reset leaves the verdict
    QCOMPARE(win.ticked(false), 0xFFFF);                 // and the photo boxes
    QVERIFY(win.card.calls.empty());                     // and the card
}

void TstLoop::countersRunPastTheOldLimits() {
    Window win;
    const QSize size = win.errLb(3)->size();
    const int normalPixels = QFontInfo(win.errLb(3)->font()).pixelSize();
    win.R16(3)->setChecked(true);
    win.card.onRead = [](int, std::int16_t& data) {
        data = 255; // relay 3's input never goes active
        return true;
    };
    auto startAt = [&](std::int64_t errors, std::int64_t loops) {
        LoopResults::Counts counts;
        counts.relays[3].inputInactive = errors;
        counts.loops = loops;
        win.w->presetCounts(counts);
    };
    startAt(32767, 2147483647);
    win.w->getTimer_Timer();
    QCOMPARE(win.errLb(3)->text(), QStringLiteral("32768"));
    QCOMPARE(win.loops(), QStringLiteral("2147483648"));
    QVERIFY(!win.w->isEnded());

    // Too wide for the label: the label keeps its size, the tool tip holds the whole count.
    startAt(99999999, 0);
    win.w->getTimer_Timer();
    QCOMPARE(win.errLb(3)->text(), QStringLiteral("100000000"));
    QCOMPARE(win.errLb(3)->size(), size);
    QCOMPARE(win.errLb(3)->toolTip(), QStringLiteral("100,000,000"));
    QVERIFY(QFontInfo(win.errLb(3)->font()).pixelSize() < normalPixels);

    // The largest count holds rather than wrapping to a negative one.
    startAt(std::numeric_limits<std::int64_t>::max(), 0);
    win.w->getTimer_Timer();
    QCOMPARE(win.errLb(3)->text(), QStringLiteral("9223372036854775807"));

    // Reset brings back the label's own face and drops the tool tip.
    win.w->resetCmd_Click();
    QCOMPARE(win.errLb(3)->toolTip(), QString());
    QCOMPARE(QFontInfo(win.errLb(3)->font()).pixelSize(), normalPixels);
}

void TstLoop::speedBarsSetLabelsAndTimersInBothModes() {
    Window win;
    QTest::keyClick(win.bar("VScroll1"), Qt::Key_Up);
    QCOMPARE(win.label("setspeedLb")->text(), QStringLiteral("105"));
    QCOMPARE(win.timer("Timer1")->interval(), 105);
    QCOMPARE(win.label("getspeedLb")->text(), QStringLiteral("5"));

    win.w->autoCmd_Click();
    QTest::keyClick(win.bar("VScroll2"), Qt::Key_PageUp);
    QCOMPARE(win.label("getspeedLb")->text(), QStringLiteral("6"));
    QCOMPARE(win.timer("getTimer")->interval(), 6);
    QTest::keyClick(win.bar("VScroll1"), Qt::Key_Home);
    QCOMPARE(win.label("setspeedLb")->text(), QStringLiteral("20"));
    QCOMPARE(win.timer("Timer1")->interval(), 20);
    QVERIFY(win.timer("Timer1")->isActive()); // auto keeps stepping at the new period
}

void TstLoop::autoRunOnTheSimulatorWithRealTimers() {
    DeviceSources noCards;
    noCards.standIns[isaBackend().name] = IsaStandIn{"/nonexistent/looptest-porthelper", {}};
    noCards.standIns[comediBackend().name] = ComediStandIn{"/nonexistent", {}};
    DeviceSelectingCard tak(standardDeviceEntries(noCards));
    LoopTest w(tak);
    {
        ModalAnswerer answerer;
        answerer.onDialog = [](QDialog* d) { QTest::keyClick(d, Qt::Key_Return); };
        w.Form_Load();
    }
    QVERIFY(!w.isEnded());
    auto* step = w.findChild<QAbstractSlider*>(QStringLiteral("VScroll1"));
    auto* timer1 = w.findChild<WindowTimer*>(QStringLiteral("Timer1"));
    step->setValue(step->minimum());
    QCOMPARE(timer1->interval(), 20);
    auto* getTimer = w.findChild<WindowTimer*>(QStringLiteral("getTimer"));
    QSignalSpy steps(timer1, &WindowTimer::timeout);
    QSignalSpy readBacks(getTimer, &WindowTimer::timeout);
    w.show();

    // Fifty steps, however long a busy machine takes for them. Each step arms a read-back; one
    // that a late read-back has not yet followed restarts it, so a loaded machine counts fewer
    // loops than steps, never more. Every read-back counts its loop, and after Stop the last
    // step's read-back still comes, whenever that is, and reads what that step wrote.
    w.autoCmd_Click();
    QTRY_VERIFY_WITH_TIMEOUT(steps.count() >= 50, 60000);
    w.autoCmd_Click();
    const int stepped = int(steps.count());
    QTRY_VERIFY_WITH_TIMEOUT(!getTimer->isActive(), 10000);
    QTest::qWait(100); // nothing steps or counts after that
    QCOMPARE(steps.count(), stepped);
    auto* loops = w.findChild<QLabel*>(QStringLiteral("Label2"));
    QCOMPARE(loops->text(), QString::number(readBacks.count()));
    QCOMPARE(w.results().loops(), readBacks.count());
    QVERIFY2(readBacks.count() >= 1 && readBacks.count() <= stepped,
             qPrintable(QStringLiteral("%1 loops, %2 steps").arg(readBacks.count()).arg(stepped)));
    // Relay r drives input 15 - r: port p's inputs are the other port's relays, bits reversed.
    for (int port = 0; port < 2; ++port) {
        int expected = 0xFF;
        for (int bit = 0; bit < 8; ++bit)
            if (w.results().lastWritten(1 - port) & (1 << bit))
                expected &= ~(0x80 >> bit);
        QCOMPARE(int(w.results().lastRead(port)), expected);
    }
    for (int i = 0; i < 16; ++i)
        QCOMPARE(w.findChild<QLabel*>(QStringLiteral("errLb(%1)").arg(i))->text(),
                 QStringLiteral("0"));
    QCOMPARE(w.findChild<QLabel*>(QStringLiteral("matchLb"))->text(), QString());
}

// Whatever the scheduler does, a read-back reads the card no sooner than the read-back delay
// after the last write before it returned: on the clock the timers run on, with writes that
// take time of their own (a step's two writes of one byte are far apart then) and the thread
// held after some writes, before the read-back is armed. Both real paths: the auto walk, and
// clicks from code in manual mode, several within one delay.
void TstLoop::aReadBackNeverComesBeforeItsDelayAfterTheLastWrite() {
    constexpr std::int64_t kDelayNs = 5'000'000;
    auto spin = [](std::int64_t ns) {
        const std::int64_t until = WindowTimer::nowNs() + ns;
        while (WindowTimer::nowNs() < until) {
        }
    };
    for (const bool autoWalk : {true, false}) {
        Window win;
        win.w->setSpeeds(60, 5);
        std::int64_t lastWrite = 0;
        int writes = 0, reads = 0;
        QStringList early;
        win.card.onWrite = [&](int, int) {
            spin(3'000'000); // a slow write: a Modbus round trip, a busy port helper
            lastWrite = WindowTimer::nowNs();
            ++writes;
            return true;
        };
        // Held between a write and the arming of its read-back, every other write.
        connect(&win.w->results(), &LoopResults::written, win.w.get(), [&] {
            if (writes % 2 == 1)
                spin(2'000'000);
        });
        win.card.onRead = [&](int port, std::int16_t&) {
            if (port == 0) {
                ++reads;
                const std::int64_t since = WindowTimer::nowNs() - lastWrite;
                if (since < kDelayNs)
                    early << QStringLiteral("read %1 came %2 µs after its last write")
                                 .arg(reads)
                                 .arg(double(since) / 1000, 0, 'f', 1);
            }
            return true;
        };
        if (autoWalk) {
            win.w->autoCmd_Click();
            QTRY_VERIFY_WITH_TIMEOUT(reads >= 20, 60000);
            win.w->autoCmd_Click();
        } else {
            for (int k = 0; k < 20; ++k) {
                // Three boxes of both ports in one go, then the read-back.
                for (int box : {k % 16, (k + 5) % 16, (k + 9) % 16})
                    win.R16(box)->setChecked(!win.R16(box)->isChecked());
                const int before = reads;
                QTRY_VERIFY_WITH_TIMEOUT(reads > before, 10000);
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(!win.w->readBackPending(), 10000);
        QVERIFY2(early.isEmpty(), qPrintable(early.join(QStringLiteral("; "))));
        QCOMPARE(win.w->results().loops(), std::int64_t(reads));
        QCOMPARE(win.errors(), QStringLiteral("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"));
    }
}

QTEST_MAIN(TstLoop)
#include "tst_loop.moc"
