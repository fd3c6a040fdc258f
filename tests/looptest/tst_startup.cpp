#include "support/Window.h"

#include <QtTest>

using Op = ScriptedCard::Op;

class TstStartup : public QObject {
    Q_OBJECT
private slots:
    void aSuccessfulStartOpensTheCardAndShowsTheSpeeds();
    void aFailedSelectionEndsBeforeTheWindowShows();
    void okSwitchesEveryRelayOffAndEnds();
    void okStaysWhenPort0CannotBeWritten();
    void okStaysWhenPort1CannotBeWritten();
    void closingThroughTheFrameEndsWithoutWriting();
};

void TstStartup::aSuccessfulStartOpensTheCardAndShowsTheSpeeds() {
    Window win(false);
    ModalAnswerer answerer;
    std::size_t callsWhenAsked = 99;
    answerer.onMessage = [&](const ModalAnswerer::Seen&) {
        callsWhenAsked = win.card.calls.size();
    };
    win.w->Form_Load();

    // The request to pick the driver comes before the chooser.
    QCOMPARE(answerer.seen.size(), std::size_t(1));
    QCOMPARE(callsWhenAsked, std::size_t(0));
    const auto& box = answerer.seen[0];
    QCOMPARE(
        box.text,
        QStringLiteral("Please select 'MORVELLA WDM Drv 1.10 for ISA 16 Photo 16 Relay Card'!"));
    QCOMPARE(box.title, QStringLiteral("System information"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);
    QCOMPARE(box.buttons, 1);

    QCOMPARE(win.card.calls.size(), std::size_t(2));
    QCOMPARE(win.card.calls[0].op, Op::Select);
    QCOMPARE(win.card.calls[1].op, Op::Active);
    QCOMPARE(win.card.calls[1].data, 1);
    QVERIFY(!win.w->isEnded());
    QCOMPARE(win.verdict(), QString());
    QCOMPARE(win.label("matchLb")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QCOMPARE(win.label("getspeedLb")->text(), QStringLiteral("5"));
    QCOMPARE(win.label("setspeedLb")->text(), QStringLiteral("100"));
    QVERIFY(!win.w->isVisible()); // showing is main's business
}

void TstStartup::aFailedSelectionEndsBeforeTheWindowShows() {
    Window win(false);
    win.card.selectResult = false;
    QSignalSpy ended(win.w.get(), &LoopTest::programEnded);
    ModalAnswerer answerer;
    win.w->Form_Load();

    QCOMPARE(answerer.seen.size(), std::size_t(2));
    QCOMPARE(answerer.seen[1].text, QStringLiteral("Can't open the device."));
    QCOMPARE(answerer.seen[1].title, QStringLiteral("System information"));
    QCOMPARE(answerer.seen[1].buttons, 1);
    QVERIFY(win.w->isEnded());
    QCOMPARE(ended.count(), 1);
    QVERIFY(!win.w->isVisible());
    QCOMPARE(win.card.calls.size(), std::size_t(1)); // the selection only: no Active, no write
    QCOMPARE(win.label("matchLb")->text(), QStringLiteral("Label1"));
}

void TstStartup::okSwitchesEveryRelayOffAndEnds() {
    Window win;
    QSignalSpy ended(win.w.get(), &LoopTest::programEnded);
    win.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
    win.R16(3)->setChecked(true);
    win.R16(14)->setChecked(true);
    win.card.clear();
    QTest::mouseClick(win.button("Command1"), Qt::LeftButton);
    QCOMPARE(describe(win.card.calls),
             describe({ScriptedCard::write(0, 0), ScriptedCard::write(1, 0)}));
    QVERIFY(win.w->isEnded());
    QCOMPARE(ended.count(), 1);
    QVERIFY(!win.w->isVisible());
    QVERIFY(!win.timer("getTimer")->isActive()); // the pending read-back never comes
}

void TstStartup::okStaysWhenPort0CannotBeWritten() {
    Window win;
    win.card.onWrite = [](int port, int) { return port != 0; };
    win.w->Command1_Click();
    QCOMPARE(describe(win.card.calls), describe({ScriptedCard::write(0, 0, false)}));
    QVERIFY(!win.w->isEnded());
}

void TstStartup::okStaysWhenPort1CannotBeWritten() {
    Window win;
    win.R16(2)->setChecked(true);
    win.R16(10)->setChecked(true);
    win.card.clear();
    win.card.onWrite = [](int port, int) { return port != 1; };
    win.w->Command1_Click();
    QCOMPARE(describe(win.card.calls),
             describe({ScriptedCard::write(0, 0), ScriptedCard::write(1, 0, false)}));
    QVERIFY(!win.w->isEnded());
    QCOMPARE(win.card.relays(0), 0);    // relays 0-7 open
    QCOMPARE(win.card.relays(1), 0x04); // relay 10 still closed
}

void TstStartup::closingThroughTheFrameEndsWithoutWriting() {
    Window win;
    QSignalSpy ended(win.w.get(), &LoopTest::programEnded);
    win.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
    win.R16(7)->setChecked(true);
    win.card.clear();
    QVERIFY(win.w->close());
    QVERIFY(win.w->isEnded());
    QCOMPARE(ended.count(), 1);
    QVERIFY(win.card.calls.empty());
    QCOMPARE(win.card.relays(0), 0x80); // the relay stays as it was

    // Closed while auto runs: the walk stops where it is, with no further write.
    Window running;
    running.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(running.w.get()));
    running.w->autoCmd_Click();
    running.w->Timer1_Timer();
    running.card.clear();
    QVERIFY(running.w->close());
    QVERIFY(running.w->isEnded());
    QVERIFY(!running.timer("Timer1")->isActive());
    QVERIFY(!running.timer("getTimer")->isActive());
    QTest::qWait(150); // longer than a step and a read-back
    QVERIFY(running.card.calls.empty());
    QCOMPARE(running.card.relays(0), 0x01);
}

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
