// Thousands of random events (clicks on any box, Auto/Stop, Reset, spins, timer ticks)
// against a card that fails and lies at random, with the invariants a technician relies on
// checked after every event.
#include "card/simulator/LoopbackSimulator.h"
#include "looptest/LoopTest.h"
#include "runlog/RunRecorder.h"
#include "runlog/Summary.h"
#include "support/ModalAnswerer.h"

#include "window/WindowTimer.h"
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <QtTest>

#include <array>
#include <optional>
#include <random>

namespace {

class RandomCard : public CardControl {
public:
    explicit RandomCard(unsigned seed)
        : rng_(seed) {}
    bool SelectDevice() override { return true; }
    void setActive(bool) override {}
    bool WritePort(std::int32_t port, std::int16_t data) override {
        ++writes;
        const bool ok = !chance(15) && sim_.write(port, data);
        lastWrite[port] = {data, ok};
        anyWriteFailed |= !ok;
        if (!ok)
            unhealthy[port] = true;
        return ok;
    }
    bool ReadPort(std::int32_t port, std::int16_t& data) override {
        if (chance(15)) {
            readFailed = true;
            return false;
        }
        sim_.read(port, data);
        if (chance(10))
            data = static_cast<std::int16_t>(data ^ (1 << (rng_() % 8)));
        if (chance(40))
            data = static_cast<std::int16_t>(rng_()); // anything at all
        return true;
    }
    int closedRelays() const { return sim_.relays(0) | (sim_.relays(1) << 8); }

    struct Write {
        int data = 0;
        bool ok = true;
    };
    std::array<std::optional<Write>, 2> lastWrite;
    bool anyWriteFailed = false;
    // A failed write can leave a relay and its box apart (the box is cleared, a repeated write
    // may still close the relay); a port is healthy again once a manual write of its boxes
    // goes through.
    std::array<bool, 2> unhealthy{};
    bool readFailed = false;
    long writes = 0;

private:
    bool chance(unsigned oneIn) { return rng_() % oneIn == 0; }
    std::mt19937 rng_;
    LoopbackSimulator sim_;
};

} // namespace

class TstRandom : public QObject {
    Q_OBJECT
private slots:
    void randomEventsKeepTheInvariants_data();
    void randomEventsKeepTheInvariants();
};

void TstRandom::randomEventsKeepTheInvariants_data() {
    QTest::addColumn<unsigned>("seed");
    for (unsigned seed : {1u, 2u, 3u, 20261207u})
        QTest::newRow(qPrintable(QString::number(seed))) << seed;
}

void TstRandom::randomEventsKeepTheInvariants() {
    QFETCH(unsigned, seed);
    std::mt19937 rng(seed);
    RandomCard card(seed * 7919u);
    LoopTest w(card);
    {
        ModalAnswerer answerer;
        w.Form_Load();
    }
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("random.csv"));
    auto recorder = std::make_unique<RunRecorder>(w.results());
    QString why;
    QVERIFY2(recorder->startLog(log, QStringLiteral("random"), {}, why), qPrintable(why));

    auto find = [&w](const QString& name) { return w.findChild<QWidget*>(name); };
    std::array<QAbstractButton*, 16> R{}, P{};
    std::array<QLabel*, 16> err{};
    for (int i = 0; i < 16; ++i) {
        R[i] = w.findChild<QAbstractButton*>(QStringLiteral("R16(%1)").arg(i));
        P[i] = w.findChild<QAbstractButton*>(QStringLiteral("P16(%1)").arg(i));
        err[i] = w.findChild<QLabel*>(QStringLiteral("errLb(%1)").arg(i));
    }
    auto* autoCmd = w.findChild<QPushButton*>(QStringLiteral("autoCmd"));
    auto* loops = w.findChild<QLabel*>(QStringLiteral("Label2"));
    auto* verdict = w.findChild<QLabel*>(QStringLiteral("matchLb"));
    auto* getTimer = w.findChild<WindowTimer*>(QStringLiteral("getTimer"));
    auto* timer1 = w.findChild<WindowTimer*>(QStringLiteral("Timer1"));
    QSignalSpy realTicks(getTimer, &WindowTimer::timeout);

    std::array<qint64, 16> lastErrors{};
    qint64 ticks = 0;
    int curIdx = 15;
    bool portClean = false; // every write since the walk entered its port succeeded
    int portChecks = 0, stepChecks = 0, passChecks = 0; // how often each invariant applied

    for (int event = 0; event < 4000; ++event) {
        const bool autoMode = autoCmd->text() == QLatin1String("Stop");
        bool reset = false;
        bool stepped = false;
        bool ticked = false;
        card.anyWriteFailed = false;
        card.readFailed = false;
        const int what = static_cast<int>(rng() % 100);
        int manualPort = -1;
        if (what < 30) {
            const int box = static_cast<int>(rng() % 16);
            QTest::mouseClick(R[box], Qt::LeftButton);
            manualPort = autoMode ? -1 : box / 8;
        } else if (what < 38) {
            QTest::mouseClick(P[rng() % 16], Qt::LeftButton);
        } else if (what < 42) {
            QTest::mouseClick(autoCmd, Qt::LeftButton);
            if (!autoMode)
                curIdx = 15;
        } else if (what < 45) {
            QTest::mouseClick(find(QStringLiteral("resetCmd")), Qt::LeftButton);
            reset = !autoMode;
        } else if (what < 50) {
            static const Qt::Key keys[] = {Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp,
                                           Qt::Key_PageDown};
            QTest::keyClick(
                find(rng() % 2 ? QStringLiteral("VScroll1") : QStringLiteral("VScroll2")),
                keys[rng() % 4]);
        } else if (what < 75) {
            if (timer1->isActive()) {
                curIdx = (curIdx + 1) % 16;
                w.Timer1_Timer();
                stepped = true;
            }
        } else if (getTimer->isActive()) {
            w.getTimer_Timer();
            ticked = true;
            ++ticks;
        }
        QVERIFY(!w.isEnded());

        // Counters never go down, except all of them to 0 by a Reset in manual mode.
        for (int i = 0; i < 16; ++i) {
            const qint64 now = err[i]->text().toLongLong();
            if (reset)
                QCOMPARE(now, 0);
            else if (now < lastErrors[i])
                QFAIL(qPrintable(QStringLiteral("event %1: errLb(%2) fell").arg(event).arg(i)));
            lastErrors[i] = now;
            QCOMPARE(now, w.results().errors(i)); // the counters show the results
        }
        QCOMPARE(loops->text().toLongLong(), w.results().loops());
        // The loop count is the number of read-back ticks since the last Reset.
        if (reset)
            ticks = 0;
        QCOMPARE(loops->text().toLongLong(), ticks + realTicks.count());

        const bool nowAuto = autoCmd->text() == QLatin1String("Stop");
        if (!nowAuto) {
            if (manualPort >= 0 && !card.anyWriteFailed)
                card.unhealthy[manualPort] = false;
            // Manual: a healthy port whose last write went through holds exactly its boxes.
            for (int port = 0; port < 2; ++port) {
                const auto& last = card.lastWrite[port];
                if (!last || !last->ok || card.unhealthy[port])
                    continue;
                ++portChecks;
                int boxes = 0;
                for (int k = 0; k < 8; ++k)
                    boxes |= R[8 * port + k]->isChecked() ? 1 << k : 0;
                if (last->data != boxes)
                    QFAIL(qPrintable(QStringLiteral("event %1: port %2 got %3, boxes are %4")
                                         .arg(event)
                                         .arg(port)
                                         .arg(last->data)
                                         .arg(boxes)));
            }
        } else if (stepped) {
            portClean = (curIdx % 8 == 0 || portClean) && !card.anyWriteFailed;
            // A step whose port was written cleanly closes exactly its relay.
            if (portClean) {
                ++stepChecks;
                QCOMPARE(card.closedRelays(), 1 << curIdx);
            }
            for (int i = 0; i < 16; ++i)
                QVERIFY(!R[i]->isEnabled() && !P[i]->isEnabled());
        }
        // A pass shows only after a tick whose two reads came and matched the boxes.
        if (ticked && verdict->text().isEmpty()) {
            ++passChecks;
            QVERIFY2(!card.readFailed, qPrintable(QStringLiteral("event %1").arg(event)));
            for (int i = 0; i < 16; ++i)
                QCOMPARE(P[i]->isChecked(), R[15 - i]->isChecked());
        }
    }
    // The log's error rows since the last Reset add up to the results, relay by relay and
    // kind by kind.
    recorder->finish();
    std::array<std::array<std::int64_t, kErrorKinds>, 16> logged{};
    std::array<std::int64_t, kErrorKinds> uncharged{}; // rows of no relay, by kind
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QStringList f = splitCsv(QString::fromUtf8(line.trimmed()));
        if (f.value(2) == QLatin1String("reset") && f.value(3).isEmpty())
            logged = {};
        const auto kind = kindFromName(f.value(8));
        if (kind && !f.value(3).isEmpty())
            logged[f[3].toInt()][int(*kind)] += f[6].toLongLong();
        else if (kind)
            uncharged[int(*kind)] += f[6].toLongLong();
    }
    QCOMPARE(uncharged[int(ErrorKind::ReadFailed)],
             w.results().failedReads(0) + w.results().failedReads(1));
    QCOMPARE(uncharged[int(ErrorKind::WriteFailed)],
             w.results().unchargedWrites(0) + w.results().unchargedWrites(1));
    for (int r = 0; r < 16; ++r) {
        const LoopResults::RelayCounts& c = w.results().relay(r);
        QCOMPARE(logged[r][int(ErrorKind::InputInactive)], c.inputInactive);
        QCOMPARE(logged[r][int(ErrorKind::InputActive)], c.inputActive);
        QCOMPARE(logged[r][int(ErrorKind::WriteFailed)], c.writeFailed);
    }
    QVERIFY(card.writes > 100);
    qInfo("invariants applied: port %d, step %d, pass %d", portChecks, stepChecks, passChecks);
    QVERIFY(portChecks > 100 && stepChecks > 20 && passChecks > 20);
}

QTEST_MAIN(TstRandom)
#include "tst_random.moc"
