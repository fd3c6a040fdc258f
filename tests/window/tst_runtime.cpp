#include "support/Window.h"

#include "window/WindowTimer.h"

#include <QtTest>

#include <stdexcept>

class TstRuntime : public QObject {
    Q_OBJECT
private slots:
    void stateChangesRaiseTheRelayClickSynchronously();
    void disabledBoxesIgnoreTheUser();
    void photoBoxClicksRunNothing();
    void aWriteWithAReadBackPendingMovesItToCountFromItself();
    void anErrorInAHandlerIsShownAndEndsTheProgram();
    void anErrorInANestedHandlerEndsTheOuterOneThere();
    void nothingRunsOnceTheProgramHasEnded();
    void aRelayIndexOutsideTheArrayIsAnErrorNotACrash();
};

void TstRuntime::stateChangesRaiseTheRelayClickSynchronously() {
    Window win;
    win.R16(5)->setChecked(true);
    // The write happened before setChecked returned.
    QCOMPARE(describe(win.card.calls), describe({ScriptedCard::write(0, 32)}));
    win.R16(5)->setChecked(true); // same value: nothing
    QCOMPARE(win.card.calls.size(), std::size_t(1));
    win.R16(12)->setChecked(true);
    win.R16(5)->setChecked(false);
    QCOMPARE(describe(win.card.writes()),
             describe({ScriptedCard::write(0, 32), ScriptedCard::write(1, 16),
                       ScriptedCard::write(0, 0)}));
    // A user click goes the same way.
    QTest::mouseClick(win.R16(0), Qt::LeftButton);
    QVERIFY(win.R16(0)->isChecked());
    QCOMPARE(describe({win.card.writes().back()}), describe({ScriptedCard::write(0, 1)}));
}

void TstRuntime::disabledBoxesIgnoreTheUser() {
    Window win;
    win.R16(4)->setEnabled(false);
    QTest::mouseClick(win.R16(4), Qt::LeftButton);
    QTest::keyClick(win.R16(4), Qt::Key_Space);
    QVERIFY(!win.R16(4)->isChecked());
    QVERIFY(win.card.calls.empty());
    // The program itself can still change a disabled box, which raises its click.
    win.R16(4)->setChecked(true);
    QCOMPARE(describe(win.card.calls), describe({ScriptedCard::write(0, 16)}));
}

void TstRuntime::photoBoxClicksRunNothing() {
    Window win;
    QTest::mouseClick(win.P16(9), Qt::LeftButton);
    QVERIFY(win.P16(9)->isChecked());
    QTest::mouseClick(win.P16(9), Qt::LeftButton);
    QVERIFY(!win.P16(9)->isChecked());
    QVERIFY(win.card.calls.empty());
    QVERIFY(!win.timer("getTimer")->isActive());
    QCOMPARE(win.loops(), QStringLiteral("0"));
}

void TstRuntime::aWriteWithAReadBackPendingMovesItToCountFromItself() {
    Window win;
    win.bar("VScroll2")->setValue(300);
    WindowTimer* getTimer = win.timer("getTimer");
    QCOMPARE(getTimer->interval(), 300);
    win.R16(0)->setChecked(true);
    QVERIFY(getTimer->isActive());
    const std::int64_t first = getTimer->deadlineNs();
    QTest::qWait(120);
    const std::int64_t before = WindowTimer::nowNs();
    win.R16(1)->setChecked(true); // enables the running read-back timer again
    QVERIFY(getTimer->isActive());
    // The second write is read back no sooner than its own delay: the timer counts from it.
    QVERIFY(getTimer->deadlineNs() >= before + 300'000'000);
    QVERIFY(getTimer->deadlineNs() > first);
}

void TstRuntime::anErrorInAHandlerIsShownAndEndsTheProgram() {
    Window win;
    QSignalSpy ended(win.w.get(), &LoopTest::programEnded);
    win.card.onWrite = [](int, int) -> bool { throw std::runtime_error("card exploded"); };
    win.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
    ModalAnswerer answerer;
    QTest::mouseClick(win.R16(2), Qt::LeftButton);
    QCOMPARE(answerer.seen.size(), std::size_t(1));
    QVERIFY2(answerer.seen[0].text.contains(QLatin1String("card exploded")),
             qPrintable(answerer.seen[0].text));
    QCOMPARE(answerer.seen[0].icon, QMessageBox::NoIcon);
    QVERIFY(win.w->isEnded());
    QCOMPARE(ended.count(), 1);
    QVERIFY(!win.w->isVisible());
    // The handler stopped at the failing write: no read-back was scheduled.
    QVERIFY(!win.timer("getTimer")->isActive());
}

void TstRuntime::anErrorInANestedHandlerEndsTheOuterOneThere() {
    Window win;
    win.R16(2)->setChecked(true);
    win.R16(9)->setChecked(true);
    win.card.onWrite = [](int port, int) -> bool {
        if (port == 0)
            throw std::runtime_error("port 0 is gone");
        return true;
    };
    ModalAnswerer answerer;
    // Starting auto clears R16(2) first, whose nested write throws: the start goes no further.
    win.w->autoCmd_Click();
    QCOMPARE(answerer.seen.size(), std::size_t(1));
    QVERIFY(answerer.seen[0].text.contains(QLatin1String("port 0 is gone")));
    QVERIFY(win.w->isEnded());
    QVERIFY(win.R16(9)->isChecked());
    QVERIFY(!win.timer("Timer1")->isActive());
    QCOMPARE(win.button("autoCmd")->text(), QStringLiteral("Stop"));
}

void TstRuntime::nothingRunsOnceTheProgramHasEnded() {
    Window win;
    win.w->Command1_Click();
    QVERIFY(win.w->isEnded());
    win.card.clear();
    win.w->getTimer_Timer();
    win.w->Timer1_Timer();
    win.R16(3)->setChecked(true);
    win.w->resetCmd_Click();
    QVERIFY(win.card.calls.empty());
    QCOMPARE(win.loops(), QStringLiteral("0"));
}

void TstRuntime::aRelayIndexOutsideTheArrayIsAnErrorNotACrash() {
    Window win;
    ModalAnswerer answerer;
    win.w->R16_Click(16);
    QCOMPARE(answerer.seen.size(), std::size_t(1));
    QVERIFY2(answerer.seen[0].text.contains(QLatin1String("no relay box R16(16)")),
             qPrintable(answerer.seen[0].text));
    QVERIFY(win.w->isEnded());
    QVERIFY(win.card.calls.empty());
}

QTEST_MAIN(TstRuntime)
#include "tst_runtime.moc"
