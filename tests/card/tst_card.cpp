#include "app/CommandLine.h"
#include "card/DeviceChooser.h"
#include "card/DeviceSelectingCard.h"
#include "card/PortDevice.h"
#include "card/comedi/ComediBackend.h"
#include "card/isa/IsaBackend.h"
#include "card/modbus/ModbusBackend.h"
#include "card/simulator/Faults.h"
#include "card/simulator/SimulatorBackend.h"
#include "support/ModalAnswerer.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Entries as on a machine without port access or data-acquisition cards.
std::vector<std::unique_ptr<DeviceEntry>> entriesWithoutCards() {
    DeviceSources sources;
    sources.standIns[isaBackend().name] = IsaStandIn{"/nonexistent/looptest-porthelper", {}};
    sources.standIns[comediBackend().name] = ComediStandIn{"/nonexistent", {}};
    sources.leftOut = {modbusBackend().name};
    return standardDeviceEntries(sources);
}

// A device on a clock of its own whose every read takes readUs and reads the input as it stood
// halfway through (a request answered by a remote module); the input goes active at changeUs.
class SlowReads : public PortDevice {
public:
    std::int64_t clock = 0, readUs = 1000, changeUs = 0;
    bool read(std::int32_t, std::int16_t& data) override {
        const std::int64_t looked = clock + readUs / 2;
        clock += readUs;
        data = looked >= changeUs ? 0xFE : 0xFF;
        return true;
    }
    bool write(std::int32_t, std::int16_t) override { return true; }
    std::int64_t nowUs() const override { return clock; }
    void waitUntil(std::int64_t untilUs) override { clock = std::max(clock, untilUs); }
};

// The chooser's line for a fault.
QString choice(SimulatorFault::Kind kind) {
    QString words = QString::fromLatin1(faultForm(kind)->words);
    words[0] = words[0].toUpper();
    return words;
}
} // namespace

class TstCard : public QObject {
    Q_OBJECT
private slots:
    void simulatorReadsBackEveryPatternClean();
    void everyFaultIsWrittenOnce();
    void cardRefusesPortsUntilOpenAndActive();
    void chooserPreselectsSimulatorAndEnterOpensIt();
    void chooserExplainsWhyTheCardCannotOpen();
    void cancellingOrClosingTheChooserSelectsNothing();
    void anIsaBaseOutOfRangeIsRefusedInTheChooser();
    void aFaultPickedInTheChooserIsPlayed();
    void aNamedDeviceIsPreselectedWithItsSettings();
    void aWatchNeverSeesAChangeLaterThanItsGap();
};

// Relay r drives input 15 - r, active-low: input i reads clear (0) exactly when relay 15 - i is
// closed. Checked for every pair of port bytes.
void TstCard::simulatorReadsBackEveryPatternClean() {
    LoopbackSimulator sim;
    for (int p0 = 0; p0 < 256; ++p0) {
        for (int p1 = 0; p1 < 256; ++p1) {
            QVERIFY(sim.write(0, static_cast<std::int16_t>(p0)));
            QVERIFY(sim.write(1, static_cast<std::int16_t>(p1)));
            const int relays = p0 | (p1 << 8);
            std::int16_t in0 = -1, in1 = -1;
            QVERIFY(sim.read(0, in0));
            QVERIFY(sim.read(1, in1));
            QVERIFY(in0 >= 0 && in0 <= 255 && in1 >= 0 && in1 <= 255);
            const int inputs = in0 | (in1 << 8);
            for (int i = 0; i < 16; ++i) {
                const bool active = ((inputs >> i) & 1) == 0;
                const bool relayClosed = ((relays >> (15 - i)) & 1) != 0;
                if (active != relayClosed)
                    QFAIL(qPrintable(QStringLiteral("relays %1: input %2 reads %3")
                                         .arg(relays, 4, 16, QLatin1Char('0'))
                                         .arg(i)
                                         .arg(active ? "active" : "inactive")));
            }
        }
    }
    // Only the low eight bits of a written value reach the relays.
    QVERIFY(sim.write(0, 0x1FF));
    QCOMPARE(sim.relays(0), 0xFF);
}

// The simulator's faults are written once: the spec parser reads each with its numbers, the
// chooser offers each in its words, and --help and docs/devices.md list each with its words.
void TstCard::everyFaultIsWrittenOnce() {
    const QString help = QString::fromStdString(helpText());
    QFile file(QStringLiteral(LOOPTEST_SOURCE "/docs/devices.md"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString docs = QString::fromUtf8(file.readAll());
    auto entries = entriesWithoutCards();
    std::unique_ptr<QWidget> page(entries.back()->createOptions(nullptr)); // the simulator's
    auto* offered = page->findChild<QComboBox*>(QStringLiteral("simFault"));
    QCOMPARE(offered->count(), int(faultForms().size()) + 1); // and healthy wiring

    int row = 1;
    for (const FaultForm& form : faultForms()) {
        std::string spec = "sim:" + std::string(form.name) + "=";
        SimulatorFault want;
        for (std::size_t i = 0; i < form.args.size(); ++i) {
            want.*form.args[i].field = form.args[i].min + (i == 0 ? 2 : 5);
            spec += (i ? "," : "") + std::to_string(want.*form.args[i].field);
        }
        DeviceSpec d;
        std::string why;
        QVERIFY2(parseDeviceSpec(spec, d, why), why.c_str());
        const auto* got = d.settingsOf<SimulatorFault>(simulatorBackend());
        QCOMPARE(got->kind, form.kind);
        for (const FaultForm::Arg& a : form.args)
            QCOMPARE(got->*a.field, want.*a.field);

        const QString name = QString::fromStdString(specOf(form));
        const QString words = QString::fromLatin1(form.words);
        QCOMPARE(offered->itemText(row++), choice(form.kind));
        const QRegularExpression line(
            QStringLiteral("\\n  %1 +%2\\n")
                .arg(QRegularExpression::escape(name), QRegularExpression::escape(words)));
        QVERIFY2(help.contains(line), qPrintable(name));
        QVERIFY2(docs.contains(QStringLiteral("| `%1` | %2 |").arg(name, words)), qPrintable(name));
    }
}

void TstCard::cardRefusesPortsUntilOpenAndActive() {
    ModalAnswerer answerer;
    answerer.onDialog = [](QDialog* d) { d->accept(); }; // accept without opening anything
    DeviceSelectingCard card(entriesWithoutCards());
    std::int16_t data = 0;
    QVERIFY(!card.WritePort(0, 1));
    QVERIFY(!card.ReadPort(0, data));
    QVERIFY(!card.SelectDevice()); // accepted but no device opened: not selected
    QVERIFY(card.deviceName().isEmpty());

    answerer.onDialog = [](QDialog* d) {
        QTest::keyClick(d, Qt::Key_Return); // the preselected simulator
    };
    QVERIFY(card.SelectDevice());
    QVERIFY(!card.WritePort(0, 1)); // open but not active yet
    card.setActive(true);
    QVERIFY(card.WritePort(1, 0x80));
    QVERIFY(card.ReadPort(0, data));
    QCOMPARE(data, 0xFE); // relay 15 drives input 0
    QVERIFY(!card.WritePort(2, 0));
    QVERIFY(!card.ReadPort(-1, data));
    card.setActive(false);
    QVERIFY(!card.WritePort(0, 0));
}

void TstCard::chooserPreselectsSimulatorAndEnterOpensIt() {
    auto entries = entriesWithoutCards();
    DeviceChooser chooser(entries);
    auto* list = chooser.findChild<QListWidget*>(QStringLiteral("devices"));
    QVERIFY(list);
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->text(),
             QStringLiteral("MORVELLA WDM Drv 1.10 for ISA 16 Photo 16 Relay Card"));
    QCOMPARE(list->currentRow(), 1);

    bool accepted = false;
    QTimer::singleShot(0, &chooser, [&] { QTest::keyClick(list, Qt::Key_Return); });
    accepted = chooser.exec() == QDialog::Accepted;
    QVERIFY(accepted);
    QCOMPARE(chooser.openedEntry(), 1);
    auto device = chooser.takeDevice();
    QVERIFY(device);
    std::int16_t data = 0;
    QVERIFY(device->read(1, data));
    QCOMPARE(data, 0xFF);
}

void TstCard::chooserExplainsWhyTheCardCannotOpen() {
    auto entries = entriesWithoutCards();
    DeviceChooser chooser(entries);
    auto* list = chooser.findChild<QListWidget*>(QStringLiteral("devices"));
    auto* status = chooser.findChild<QLabel*>(QStringLiteral("status"));
    QVERIFY(list && status);

    QString shownAfterOpen;
    bool stillOpen = false;
    QTimer::singleShot(0, &chooser, [&] {
        list->setCurrentRow(0);
        QTest::keyClick(list, Qt::Key_Return);
        shownAfterOpen = status->text();
        stillOpen = chooser.isVisible();
        chooser.reject();
    });
    QCOMPARE(chooser.exec(), int(QDialog::Rejected));
    QVERIFY(stillOpen);
    QVERIFY2(shownAfterOpen.contains(
                 QLatin1String("port helper looptest-porthelper was not found at /nonexistent")),
             qPrintable(shownAfterOpen));
    QCOMPARE(chooser.openedEntry(), -1);
    QVERIFY(!chooser.takeDevice());
}

void TstCard::cancellingOrClosingTheChooserSelectsNothing() {
    DeviceSelectingCard card(entriesWithoutCards());
    ModalAnswerer answerer;
    answerer.onDialog = [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); };
    QVERIFY(!card.SelectDevice());

    answerer.onDialog = [](QDialog* d) { d->close(); };
    QVERIFY(!card.SelectDevice());

    answerer.onDialog = [](QDialog* d) {
        for (auto* b : d->findChildren<QPushButton*>())
            if (b->text().contains(QLatin1String("Cancel")))
                b->click();
    };
    QVERIFY(!card.SelectDevice());
    card.setActive(true);
    QVERIFY(!card.WritePort(0, 0));
}

void TstCard::anIsaBaseOutOfRangeIsRefusedInTheChooser() {
    QTemporaryDir dir;
    const QString port = dir.filePath(QStringLiteral("port"));
    {
        QFile f(port);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(0x400, char(0xFF)));
    }
    DeviceSources sources;
    sources.standIns[isaBackend().name] = IsaStandIn{LOOPTEST_PORT_HELPER, port.toStdString()};
    sources.standIns[comediBackend().name] = ComediStandIn{"/nonexistent", {}};
    auto entries = standardDeviceEntries(sources);
    DeviceChooser chooser(entries);
    auto* list = chooser.findChild<QListWidget*>(QStringLiteral("devices"));
    auto* status = chooser.findChild<QLabel*>(QStringLiteral("status"));
    auto* base = chooser.findChild<QLineEdit*>(QStringLiteral("isaBase"));
    QVERIFY(list && status && base);
    QCOMPARE(list->currentRow(), 0); // the card can be opened, so it comes first
    QCOMPARE(base->text(), QStringLiteral("300"));

    QString refused;
    QTimer::singleShot(0, &chooser, [&] {
        base->setText(QStringLiteral("80"));
        QTest::keyClick(list, Qt::Key_Return);
        refused = status->text();
        base->setText(QStringLiteral("0x2f0"));
        QTest::keyClick(list, Qt::Key_Return);
    });
    QCOMPARE(chooser.exec(), int(QDialog::Accepted));
    QVERIFY2(refused.contains(QLatin1String("out of range")), qPrintable(refused));
    auto device = chooser.takeDevice();
    QVERIFY(device);
    QVERIFY(device->write(1, 0x42));
    QFile f(port);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    QCOMPARE(bytes.at(0x2F1), char(0x42));
    QCOMPARE(bytes.count(char(0xFF)), 0x400 - 1); // nothing else touched
}

void TstCard::aFaultPickedInTheChooserIsPlayed() {
    auto entries = entriesWithoutCards();
    DeviceChooser chooser(entries);
    auto* fault = chooser.findChild<QComboBox*>(QStringLiteral("simFault"));
    auto* n = chooser.findChild<QSpinBox*>(QStringLiteral("simN"));
    auto* m = chooser.findChild<QSpinBox*>(QStringLiteral("simM"));
    auto* status = chooser.findChild<QLabel*>(QStringLiteral("status"));
    QVERIFY(fault && n && m && status);
    QCOMPARE(fault->currentText(), QStringLiteral("Healthy wiring"));
    QVERIFY(!n->isEnabled());

    QString refused;
    QTimer::singleShot(0, &chooser, [&] {
        // Swapping a channel with itself is no fault: refused with a reason.
        fault->setCurrentIndex(fault->findText(choice(SimulatorFault::Kind::SwappedWires)));
        QVERIFY(n->isEnabled() && m->isEnabled());
        n->setValue(4);
        m->setValue(4);
        QTest::keyClick(chooser.findChild<QListWidget*>(), Qt::Key_Return);
        refused = status->text();
        fault->setCurrentIndex(fault->findText(choice(SimulatorFault::Kind::InputStuckActive)));
        n->setValue(7);
        QTest::keyClick(chooser.findChild<QListWidget*>(), Qt::Key_Return);
    });
    QCOMPARE(chooser.exec(), int(QDialog::Accepted));
    QVERIFY2(refused.contains(QLatin1String("two different channels")), qPrintable(refused));
    auto device = chooser.takeDevice();
    QVERIFY(device);
    std::int16_t data = 0;
    QVERIFY(device->read(0, data));
    QCOMPARE(data, 0x7F); // input 7 active with every relay open
}

// A device named on the command line starts the chooser on its entry, settings filled in.
void TstCard::aNamedDeviceIsPreselectedWithItsSettings() {
    DeviceSelectingCard card(entriesWithoutCards());
    QString fault, isaBase;
    int row = -1, n = -1, m = -1;
    ModalAnswerer answerer;
    answerer.onDialog = [&](QDialog* d) {
        row = d->findChild<QListWidget*>()->currentRow();
        fault = d->findChild<QComboBox*>(QStringLiteral("simFault"))->currentText();
        n = d->findChild<QSpinBox*>(QStringLiteral("simN"))->value();
        m = d->findChild<QSpinBox*>(QStringLiteral("simM"))->value();
        isaBase = d->findChild<QLineEdit*>(QStringLiteral("isaBase"))->text();
        QTest::keyClick(d, Qt::Key_Return);
    };
    DeviceSpec spec;
    std::string why;
    QVERIFY(parseDeviceSpec("sim:swap=2,5", spec, why));
    QVERIFY(card.preselect(spec));
    QVERIFY(card.SelectDevice());
    QCOMPARE(row, 1);
    QCOMPARE(fault, choice(SimulatorFault::Kind::SwappedWires));
    QVERIFY(n == 2 && m == 5);

    QVERIFY(parseDeviceSpec("isa:2a0", spec, why));
    QVERIFY(card.preselect(spec));
    answerer.onDialog = [&](QDialog* d) {
        row = d->findChild<QListWidget*>()->currentRow();
        isaBase = d->findChild<QLineEdit*>(QStringLiteral("isaBase"))->text();
        d->reject();
    };
    QVERIFY(!card.SelectDevice());
    QCOMPARE(row, 0); // preselected, although it cannot be opened here
    QCOMPARE(isaBase, QStringLiteral("2a0"));
}

void TstCard::aWatchNeverSeesAChangeLaterThanItsGap() {
    // Whenever in a read the change comes, the sample that shows it is at most the longest gap
    // after it, and never before it; the watch's own interval is what its reads took.
    for (std::int64_t offset = 0; offset < 2000; offset += 125) {
        SlowReads d;
        d.changeUs = 10000 + offset;
        PortDevice::Watch w;
        QVERIFY(d.watch(0, 0xFF, 50000, w));
        QCOMPARE(w.changes.size(), std::size_t(1));
        const std::int64_t seen = w.changes.front().us;
        QVERIFY(seen >= d.changeUs && seen <= d.changeUs + std::int64_t(w.longestGapUs));
        QVERIFY(w.intervalUs == d.readUs && w.longestGapUs >= w.intervalUs);
    }
}

QTEST_MAIN(TstCard)
#include "tst_card.moc"
