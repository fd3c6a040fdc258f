#include "window/WindowTimer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <vector>

#include <ctime>

namespace {

std::int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

// The window's timers keep a QTimer's meaning on the kernel's clock.
class TstWindowTimer : public QObject {
    Q_OBJECT
private slots:
    void repeatsOnScheduleAndNeverEarly();
    void startRestartsAndANewIntervalAppliesFromNow();
    void stopStopsEvenWithATickDue();
    void ticksDueTogetherComeInDeadlineOrder();
};

// What holds however late the scheduler wakes the thread: no tick comes before its deadline,
// and each deadline is the one before plus the interval (a handler's time does not push the
// schedule back), unless the tick before came a whole interval late and the timer started
// afresh from the end of its handler.
void TstWindowTimer::repeatsOnScheduleAndNeverEarly() {
    WindowTimer t;
    QVERIFY(t.onKernelClock());
    constexpr std::int64_t period = 10'000'000;
    t.setInterval(10);
    struct Tick {
        std::int64_t due, at, done;
    };
    std::vector<Tick> ticks;
    connect(&t, &WindowTimer::timeout, [&] {
        const Tick tick{t.deadlineNs(), monotonicNs(), 0};
        while (monotonicNs() < tick.at + 4'000'000) {
        } // a handler that takes a good part of the interval
        ticks.push_back({tick.due, tick.at, monotonicNs()});
    });
    const std::int64_t started = monotonicNs();
    t.start();
    const std::int64_t first = t.deadlineNs();
    QVERIFY(first >= started + period);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 40, 60000);
    t.stop();
    QCOMPARE(t.deadlineNs(), -1);
    QCOMPARE(ticks[0].due, first);
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        const QByteArray at = QByteArray::number(qulonglong(k));
        QVERIFY2(ticks[k].at >= ticks[k].due, at.constData());
        if (k == 0)
            continue;
        const std::int64_t step = ticks[k].due - ticks[k - 1].due;
        QVERIFY2(step == period ||
                     (step >= 2 * period && ticks[k].due >= ticks[k - 1].done + period),
                 (at + " follows its deadline by " + QByteArray::number(qlonglong(step))).data());
    }
}

void TstWindowTimer::startRestartsAndANewIntervalAppliesFromNow() {
    WindowTimer t;
    QSignalSpy ticks(&t, &WindowTimer::timeout);
    t.setInterval(300);
    t.start();
    QTest::qWait(200);
    std::int64_t before = monotonicNs();
    t.start(); // as QTimer::start: from now
    QVERIFY(t.deadlineNs() >= before + 300'000'000);
    before = monotonicNs();
    t.setInterval(1000); // applies from now, as QTimer's does
    QVERIFY(t.isActive() && t.deadlineNs() >= before + 1'000'000'000);
    QVERIFY(t.remainingTime() > 0 && t.remainingTime() <= 1000);
    t.setInterval(20);
    QTRY_COMPARE_WITH_TIMEOUT(ticks.count() >= 3, true, 2000);
    QCOMPARE(t.property("interval").toInt(), 20);
    QCOMPARE(t.property("active").toBool(), true);
}

void TstWindowTimer::stopStopsEvenWithATickDue() {
    WindowTimer t;
    QSignalSpy ticks(&t, &WindowTimer::timeout);
    t.setInterval(5);
    t.start();
    QElapsedTimer busy;
    busy.start();
    while (busy.elapsed() < 20) {
    } // the deadline passes while the thread is busy, as in a long handler
    t.stop();
    QTest::qWait(50);
    QCOMPARE(ticks.count(), 0);
    QCOMPARE(t.remainingTime(), -1);
}

// After a stall, a read-back due before a step must still come before it, whichever timer the
// event loop happens to look at first. The deadlines are read back, not assumed: a thread
// preempted between the two starts may give the other timer the earlier one.
void TstWindowTimer::ticksDueTogetherComeInDeadlineOrder() {
    for (bool earlierFirst : {true, false}) {
        WindowTimer first, second;
        WindowTimer& early = earlierFirst ? first : second;
        WindowTimer& late = earlierFirst ? second : first;
        QStringList order;
        connect(&early, &WindowTimer::timeout, [&] { order << QStringLiteral("early"); });
        connect(&late, &WindowTimer::timeout, [&] { order << QStringLiteral("late"); });
        late.setInterval(20);
        late.start();
        early.setInterval(10);
        early.start();
        const QStringList expected =
            early.deadlineNs() < late.deadlineNs()
                ? QStringList{QStringLiteral("early"), QStringLiteral("late")}
                : QStringList{QStringLiteral("late"), QStringLiteral("early")};
        while (early.remainingTime() > 0 || late.remainingTime() > 0) {
        } // a stall: both are due when the loop looks again
        QTRY_VERIFY(order.size() >= 2);
        QCOMPARE(order.mid(0, 2), expected);
    }
}

QTEST_GUILESS_MAIN(TstWindowTimer)
#include "tst_windowtimer.moc"
