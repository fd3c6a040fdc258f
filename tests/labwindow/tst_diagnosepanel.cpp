// A diagnosis from the lab window: each relay shown as it is timed, the outcome in words kept
// until the next card, the card's book and record kept as the command line keeps them; a
// cancel that opens every relay and keeps the run as cut short; a device picked in the chooser
// held only while it is diagnosed.

#include "card/CardHold.h"
#include "card/isa/IsaBackend.h"
#include "lab/LabDatabase.h"
#include "labwindow/DiagnosePanel.h"
#include "labwindow/DiagnosisJob.h"
#include "labwindow/RelayMap.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

namespace {

const std::string kHelper = LOOPTEST_PORT_HELPER;

struct Rig {
    QTemporaryDir dir;
    Options options;
    std::unique_ptr<DiagnosePanel> panel;

    Rig() {
        options.labDb = "sqlite:" + dir.filePath(QStringLiteral("lab.sqlite")).toStdString();
        options.logFile = dir.filePath(QStringLiteral("diagnosis.csv")).toStdString();
        options.operatorName = "ann";
        panel = std::make_unique<DiagnosePanel>(options);
    }
    template <class T> T* child(const QString& accessibleName) const {
        for (T* w : panel->findChildren<T*>())
            if (w->accessibleName() == accessibleName)
                return w;
        return nullptr;
    }
    QString text(const QString& name) const { return child<QLabel>(name)->text(); }
    QTableWidget* table() const { return child<QTableWidget>(QStringLiteral("Relays")); }
    QString cell(int relay, int column) const { return table()->item(relay, column)->text(); }
    DiagnosisJob* job() const { return panel->findChild<DiagnosisJob*>(); }
    void diagnose(const QString& device, const QString& card) {
        child<QLineEdit>(QStringLiteral("Device"))->setText(device);
        panel->prepare(card);
        QVERIFY(panel->start());
    }
    bool ended(int ms = 60000) const {
        QDeadlineTimer deadline(ms);
        while (panel->running() && !deadline.hasExpired())
            QTest::qWait(20);
        return !panel->running() && panel->report().has_value();
    }
    LabDatabase::History history(const QString& card) const {
        LabDatabase db(QString::fromStdString(options.labDb));
        LabDatabase::History h;
        bool known = false;
        QString why;
        if (!db.open(why) || !db.history(card, 10, h, known, why) || !known)
            qWarning("%s", qPrintable(why));
        return h;
    }
    QString record() const {
        QFile f(QString::fromStdString(options.logFile));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
};

constexpr int kClass = 2, kOperateMedian = 3, kVerdict = 10;

// A file standing in for the ISA card's ports, served by the real port helper.
struct PortFile {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("ports"));
    PortFile() {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(0x400, char(0xA5)));
    }
    QByteArray at(int address, int n) const {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll().mid(address, n) : QByteArray();
    }
    DeviceSources sources() const {
        DeviceSources s;
        s.standIns[isaBackend().name] = IsaStandIn{kHelper, path.toStdString()};
        return s;
    }
};

} // namespace

class TstDiagnosePanel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void eachRelayShowsAsItIsTimedAndTheOutcomeStaysUntilTheNextCard();
    void cancelOpensEveryRelayAndKeepsTheRunCutShort();
    void aDeviceChosenIsOpenedOnlyWhileItIsDiagnosed();
};

// Relay 4 operates in 12 ms: its row fails on its operate figures, with the limit named, as
// soon as it is timed (before the map); the steps only go forward and every relay is timed in
// turn; the outcome is FAIL in words and stays until the next card's diagnosis, which passes
// with its marginal figures counted (9 ms of a 10 ms limit).
// The diagnosis is in the card's book (one run, "diagnosed") and its record.
void TstDiagnosePanel::eachRelayShowsAsItIsTimedAndTheOutcomeStaysUntilTheNextCard() {
    Rig rig;
    QSignalSpy steps(rig.job(), &DiagnosisJob::stepped);
    QStringList rowWhenTimed; // relay 4's verdict cell as its figures came
    QList<int> timedOrder;
    connect(rig.job(), &DiagnosisJob::timed, this, [&](const ChannelDiagnosis& c) {
        timedOrder << c.relay;
        if (c.relay == 4)
            QTimer::singleShot(0, this, [&] { rowWhenTimed << rig.cell(4, kVerdict); });
    });
    rig.diagnose(QStringLiteral("sim:slow=4,12"), QStringLiteral("LT-4"));
    QVERIFY(rig.ended());

    QList<int> expected;
    for (int r = 0; r < 16; ++r)
        expected << r;
    QCOMPARE(timedOrder, expected);
    QCOMPARE(rowWhenTimed.size(), 1);
    QVERIFY2(rowWhenTimed[0].startsWith(QLatin1String("FAIL: operate median 12.")) &&
                 rowWhenTimed[0].contains(QLatin1String("past its limit of 10 ms")),
             qPrintable(rowWhenTimed[0]));
    int last = -1;
    for (const QList<QVariant>& s : steps) {
        const auto step = s[0].value<DiagnosisStep>();
        QVERIFY2(step.done >= last, step.what.c_str());
        QCOMPARE(step.steps, 1 + 16 + 3 + 1);
        last = step.done;
    }
    QCOMPARE(last, 1 + 16 + 3); // the classing
    auto* bar = rig.child<QProgressBar>(QStringLiteral("Progress"));
    QCOMPARE(bar->value(), bar->maximum());

    QVERIFY2(rig.text(QStringLiteral("Outcome"))
                 .startsWith(QLatin1String("FAIL: card LT-4, 2 "
                                           "figures past their")),
             qPrintable(rig.text(QStringLiteral("Outcome"))));
    // Slower than the read-back delay of 5 ms, too.
    QCOMPARE(rig.cell(4, kClass), QStringLiteral("slow"));
    QVERIFY(rig.cell(4, kOperateMedian).endsWith(QLatin1String(" ms FAIL")));
    QVERIFY2(rig.cell(4, kVerdict).startsWith(QLatin1String("FAIL: slow; operate median 12.")),
             qPrintable(rig.cell(4, kVerdict)));
    QCOMPARE(rig.cell(3, kVerdict), QStringLiteral("pass"));
    auto* map = rig.panel->findChild<RelayMap*>();
    QVERIFY(map->tile(4)->accessibleName().startsWith(QLatin1String("R4: slow, FAIL")));
    QVERIFY(map->tile(3)->accessibleName().startsWith(QLatin1String("R3: ok, pass")));
    const QString check = rig.text(QStringLiteral("What to check"));
    QVERIFY2(check.startsWith(QLatin1String("R4: ")) && check.contains(QLatin1String("Check: ")) &&
                 !check.contains(QLatin1String("R3")),
             qPrintable(check));

    const LabDatabase::History h = rig.history(QStringLiteral("LT-4"));
    QCOMPARE(h.runs, 1);
    QCOMPARE(h.lastRuns.front().ending, QStringLiteral("diagnosed"));
    QCOMPARE(h.lastRuns.front().operatorName, QStringLiteral("ann"));
    QCOMPARE(h.diagnoses.size(), std::size_t(1));
    QVERIFY(rig.record().contains(QLatin1String("verdict FAIL")));

    // It stays...
    QTest::qWait(300);
    QVERIFY(rig.text(QStringLiteral("Outcome")).startsWith(QLatin1String("FAIL")));
    // ...until the next card's: 9 ms of a 10 ms limit, within a read-back delay of 20 ms.
    rig.child<QSpinBox>(QStringLiteral("Read-back delay"))->setValue(20);
    rig.diagnose(QStringLiteral("sim:slow=4,9"), QStringLiteral("LT-6"));
    QCOMPARE(rig.cell(4, kVerdict), QString());
    QVERIFY(rig.ended());
    QCOMPARE(rig.text(QStringLiteral("Outcome")),
             QStringLiteral("PASS with 2 figures marginal: card LT-6"));
    QVERIFY(rig.cell(4, kVerdict).startsWith(QLatin1String("marginal: operate median 9.")));
}

// A card whose relays move nothing on their own inputs (a file standing in for the ports reads
// back what was written, so no relay drives its input): Cancel once a few relays were timed.
// Every relay is open on the card, the run is in the book once as cut short, the record says
// so; what was timed is shown as such, the rest as not timed.
void TstDiagnosePanel::cancelOpensEveryRelayAndKeepsTheRunCutShort() {
    PortFile ports;
    Rig rig;
    rig.panel->setDeviceSources(ports.sources());
    QSignalSpy timed(rig.job(), &DiagnosisJob::timed);
    QSignalSpy steps(rig.job(), &DiagnosisJob::stepped);
    rig.diagnose(QStringLiteral("isa:300"), QStringLiteral("LT-9"));
    QTRY_VERIFY_WITH_TIMEOUT(timed.size() >= 2, 30000);
    // Progress counts the relays that failed as it counts any other.
    QTRY_VERIFY(!steps.isEmpty() && steps.last()[0].value<DiagnosisStep>().done >= 3);
    QVERIFY(rig.panel->running());
    rig.panel->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.panel.get()));
    QTest::keyClick(rig.child<QPushButton>(QStringLiteral("Cancel")), Qt::Key_Escape);
    QVERIFY(rig.ended(20000));

    QCOMPARE(ports.at(0x300, 2), QByteArray(2, '\0'));
    // Let go as the outcome shows: another program may take the card now.
    QCOMPARE(CardHold::holder(CardHold::portKey(0x300, ports.path.toStdString())), std::string());
    QCOMPARE(rig.panel->report()->failure, std::string(kDiagnosisCutShort));
    const QString outcome = rig.text(QStringLiteral("Outcome"));
    QVERIFY2(outcome.startsWith(QLatin1String("FAIL: card LT-9, cut short: ")) &&
                 outcome.endsWith(QLatin1String("relays timed, none classed")),
             qPrintable(outcome));
    QCOMPARE(rig.cell(0, kClass), QStringLiteral("timed, not classed"));
    // A relay whose input never followed is no pass, classed or not.
    QCOMPARE(rig.cell(0, kVerdict), QStringLiteral("FAIL: input 15 did not follow it"));
    QVERIFY(rig.panel->findChild<RelayMap*>()->tile(0)->accessibleName().contains(
        QLatin1String("FAIL")));
    QCOMPARE(rig.cell(15, kClass), QStringLiteral("—"));
    const LabDatabase::History h = rig.history(QStringLiteral("LT-9"));
    QCOMPARE(h.runs, 1);
    QCOMPARE(h.lastRuns.front().ending, QStringLiteral("cut short"));
    QVERIFY(rig.record().contains(QLatin1String("verdict FAIL; cut short")));
}

// A device picked in the loop's chooser (with the card's ID typed there) is let go at once, and
// opened again for each diagnosis on it, with its settings; between them the card is free.
void TstDiagnosePanel::aDeviceChosenIsOpenedOnlyWhileItIsDiagnosed() {
    PortFile ports;
    const std::string key = CardHold::portKey(0x300, ports.path.toStdString());
    Rig rig;
    rig.panel->setDeviceSources(ports.sources());
    QTimer::singleShot(0, this, [] {
        auto* chooser = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(chooser);
        auto* list = chooser->findChild<QListWidget*>(QStringLiteral("devices"));
        list->setCurrentRow(0); // the ISA card, on the file standing in for its ports
        chooser->findChild<QLineEdit*>(QStringLiteral("cardId"))->setText(QStringLiteral("LT-2"));
        chooser->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->click();
    });
    rig.child<QPushButton>(QStringLiteral("Choose device…"))->click();
    QVERIFY2(rig.child<QLineEdit>(QStringLiteral("Device"))->text().contains(QLatin1String("ISA")),
             qPrintable(rig.child<QLineEdit>(QStringLiteral("Device"))->text()));
    QCOMPARE(rig.child<QLineEdit>(QStringLiteral("Card to diagnose"))->text(),
             QStringLiteral("LT-2"));
    QCOMPARE(CardHold::holder(key), std::string());
    for (int i = 0; i < 2; ++i) {
        QSignalSpy timed(rig.job(), &DiagnosisJob::timed);
        QVERIFY(rig.panel->start());
        QTRY_VERIFY_WITH_TIMEOUT(timed.size() >= 1, 30000);
        QVERIFY(!CardHold::holder(key).empty());
        rig.panel->cancel();
        QVERIFY(rig.ended(20000));
        QCOMPARE(CardHold::holder(key), std::string());
        QCOMPARE(ports.at(0x300, 2), QByteArray(2, '\0'));
    }
}

QTEST_MAIN(TstDiagnosePanel)
#include "tst_diagnosepanel.moc"
