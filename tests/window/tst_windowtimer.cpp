#include "window/WindowTimer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <vector>

// The window's timers keep a QTimer's meaning on the kernel's clock.
class TstWindowTimer : public QObject {
    Q_OBJECT
private slots:
    void repeatsOnScheduleAndNeverEarly();
    void startRestartsAndANewIntervalAppliesFromNow();
    void stopStopsEvenWithATickDue();
    void ticksDueTogetherComeInDeadlineOrder();
};

void TstWindowTimer::repeatsOnScheduleAndNeverEarly() {
    WindowTimer t;
    QVERIFY(t.onKernelClock());
    t.setInterval(10);
    std::vector<qint64> at;
    QElapsedTimer clock;
    connect(&t, &WindowTimer::timeout, [&] { at.push_back(clock.nsecsElapsed()); });
    clock.start();
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(at.size() >= 40, 5000);
    t.stop();
    for (std::size_t k = 0; k < at.size(); ++k)
        QVERIFY2(at[k] >= qint64(k + 1) * 10'000'000, qPrintable(QString::number(k)));
    // Deadlines follow each other, not the ticks: a late tick does not push the rest back.
    const qint64 last = at[39];
    QVERIFY2(last < 400'000'000 + 10'000'000, qPrintable(QString::number(last)));
}

void TstWindowTimer::startRestartsAndANewIntervalAppliesFromNow() {
    WindowTimer t;
    QSignalSpy ticks(&t, &WindowTimer::timeout);
    t.setInterval(300);
    t.start();
    QTest::qWait(200);
    t.start(); // as QTimer::start: from now
    QVERIFY(t.remainingTime() > 250);
    t.setInterval(1000); // applies from now, as QTimer's does
    QVERIFY(t.isActive() && t.remainingTime() > 950);
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
// event loop happens to look at first.
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
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 5) {
        }
        early.setInterval(10); // due at 15 ms, before the other at 20 ms
        early.start();
        while (busy.elapsed() < 40) {
        } // a stall: both are due when the loop looks again
        QTRY_VERIFY(order.size() >= 2);
        QCOMPARE(order.mid(0, 2), (QStringList{QStringLiteral("early"), QStringLiteral("late")}));
    }
}

QTEST_GUILESS_MAIN(TstWindowTimer)
#include "tst_windowtimer.moc"
