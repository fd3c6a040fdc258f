#include "card/simulator/LoopbackSimulator.h"
#include "looptest/LoopTest.h"
#include "support/ModalAnswerer.h"

#include <QLabel>
#include <QtTest>

#include <set>

using Kind = SimulatorFault::Kind;

namespace {

// The simulator as the window's card, on a clock the test moves, noting failed writes.
class SimulatedCard : public CardControl {
public:
    SimulatedCard(SimulatorFault fault, std::int64_t* nowUs)
        : sim_(fault, [nowUs] { return *nowUs; }) {}
    bool SelectDevice() override { return true; }
    void setActive(bool) override {}
    bool ReadPort(std::int32_t port, std::int16_t& data) override {
        const bool ok = sim_.read(port, data);
        failedReads += ok ? 0 : 1;
        return ok;
    }
    bool WritePort(std::int32_t port, std::int16_t data) override {
        const bool ok = sim_.write(port, data);
        if (!ok && data != 0)
            failedStepWrite = true;
        return ok;
    }
    bool failedStepWrite = false;
    int failedReads = 0;

private:
    LoopbackSimulator sim_;
};

struct Run {
    QList<int> errors; // the sixteen error counts after the walk
    QString loops;
    std::set<int> stepsWithFailedWrites;
    int failedReads = 0;
    bool verdictErrorWhenReadFailed = true;
    bool verdictEmptyOtherwise = true;
};

// One full auto walk (relays 0 to 15) with the given read-back delay and a 100 ms step.
Run walk(SimulatorFault fault, int readDelayMs, int steps = 16) {
    std::int64_t now = 1'000'000;
    SimulatedCard card(fault, &now);
    LoopTest w(card);
    {
        ModalAnswerer answerer;
        w.Form_Load();
    }
    auto* verdict = w.findChild<QLabel*>(QStringLiteral("matchLb"));
    Run run;
    w.autoCmd_Click();
    for (int s = 0; s < steps; ++s) {
        const int channel = s % 16; // the walk starts at relay 0
        card.failedStepWrite = false;
        w.Timer1_Timer();
        if (card.failedStepWrite)
            run.stepsWithFailedWrites.insert(channel);
        now += readDelayMs * 1000;
        const int readsFailedBefore = card.failedReads;
        w.getTimer_Timer();
        if (card.failedReads > readsFailedBefore)
            run.verdictErrorWhenReadFailed &= verdict->text() == QLatin1String("Error!!!");
        now += (100 - readDelayMs) * 1000;
    }
    w.autoCmd_Click();
    for (int i = 0; i < 16; ++i)
        run.errors << w.findChild<QLabel*>(QStringLiteral("errLb(%1)").arg(i))->text().toInt();
    run.loops = w.findChild<QLabel*>(QStringLiteral("Label2"))->text();
    run.failedReads = card.failedReads;
    return run;
}

QList<int> only(std::initializer_list<std::pair<int, int>> counts) {
    QList<int> out(16, 0);
    for (auto [channel, n] : counts)
        out[channel] = n;
    return out;
}

} // namespace

class TstFaults : public QObject {
    Q_OBJECT
private slots:
    void wiringFaultsChargeTheirChannel_data();
    void wiringFaultsChargeTheirChannel();
    void failedWritesChargeTheStepThatWrote_data();
    void failedWritesChargeTheStepThatWrote();
    void failedReadsCountNothingButShowError();
    void aSlowRelayFailsOnlyAShortReadBack();
};

void TstFaults::wiringFaultsChargeTheirChannel_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("m");
    QTest::addColumn<QList<int>>("errors");
    QTest::newRow("healthy") << int(Kind::Healthy) << 0 << 1 << only({});
    QTest::newRow("relay 5 never closes")
        << int(Kind::RelayNeverCloses) << 5 << 0 << only({{5, 1}});
    // Input 7 is wired to relay 8: while relay 8 is open (15 steps of 16) it mismatches.
    QTest::newRow("input 7 stuck active")
        << int(Kind::InputStuckActive) << 7 << 0 << only({{8, 15}});
    QTest::newRow("input 7 never active")
        << int(Kind::InputNeverActive) << 7 << 0 << only({{8, 1}});
    QTest::newRow("input 0 stuck active")
        << int(Kind::InputStuckActive) << 0 << 0 << only({{15, 15}});
    // Relay 2 lights relay 9's input and the other way round: both fail twice a walk.
    QTest::newRow("wires 2 and 9 swapped")
        << int(Kind::SwappedWires) << 2 << 9 << only({{2, 2}, {9, 2}});
    QTest::newRow("wires 7 and 8 swapped")
        << int(Kind::SwappedWires) << 7 << 8 << only({{7, 2}, {8, 2}});
}

void TstFaults::wiringFaultsChargeTheirChannel() {
    QFETCH(int, kind);
    QFETCH(int, n);
    QFETCH(int, m);
    QFETCH(QList<int>, errors);
    SimulatorFault fault;
    fault.kind = static_cast<Kind>(kind);
    fault.n = n;
    fault.m = m;
    const Run run = walk(fault, 5);
    QCOMPARE(run.errors, errors);
    QCOMPARE(run.loops, QStringLiteral("16"));

    // A second walk doubles exactly those counts.
    const Run twice = walk(fault, 5, 32);
    for (int i = 0; i < 16; ++i)
        QCOMPARE(twice.errors[i], 2 * errors[i]);
}

void TstFaults::failedWritesChargeTheStepThatWrote_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("k");
    QTest::newRow("every 5th write fails") << int(Kind::EveryKthWriteFails) << 5;
    QTest::newRow("every 7th write fails") << int(Kind::EveryKthWriteFails) << 7;
    QTest::newRow("dead after 40 calls") << int(Kind::DeadAfterK) << 40;
}

void TstFaults::failedWritesChargeTheStepThatWrote() {
    QFETCH(int, kind);
    QFETCH(int, k);
    SimulatorFault fault;
    fault.kind = static_cast<Kind>(kind);
    fault.k = k;
    const Run run = walk(fault, 5);
    QVERIFY(!run.stepsWithFailedWrites.empty());
    for (int c = 0; c < 16; ++c) {
        const bool failed = run.stepsWithFailedWrites.count(c) != 0;
        if (failed != (run.errors[c] > 0))
            QFAIL(qPrintable(QStringLiteral("channel %1: write failed %2, errors %3")
                                 .arg(c)
                                 .arg(failed)
                                 .arg(run.errors[c])));
    }
    QCOMPARE(run.loops, QStringLiteral("16"));
    QVERIFY(run.verdictErrorWhenReadFailed);
    if (fault.kind == Kind::DeadAfterK) {
        // Once dead, every later step fails: the failed steps are the last ones of the walk.
        QVERIFY(run.stepsWithFailedWrites.count(15));
        QVERIFY(run.failedReads > 0);
    }
}

void TstFaults::failedReadsCountNothingButShowError() {
    SimulatorFault fault;
    fault.kind = Kind::EveryKthReadFails;
    fault.k = 3;
    const Run run = walk(fault, 5);
    QCOMPARE(run.errors, only({}));
    QCOMPARE(run.loops, QStringLiteral("16"));
    QCOMPARE(run.failedReads, 32 / 3);
    QVERIFY(run.verdictErrorWhenReadFailed);
}

void TstFaults::aSlowRelayFailsOnlyAShortReadBack() {
    SimulatorFault fault;
    fault.operateMs = 10;
    // Read 5 ms after the write: the new relay has not closed and the old one not opened.
    const Run early = walk(fault, 5);
    QList<int> expected(16, 2);
    expected[15] = 1; // the walk starts from all open, so relay 15 is never late to open
    QCOMPARE(early.errors, expected);
    // Read 10 ms or later after the write: every relay has settled.
    QCOMPARE(walk(fault, 10).errors, only({}));
    QCOMPARE(walk(fault, 50).errors, only({}));
}

QTEST_MAIN(TstFaults)
#include "tst_faults.moc"
