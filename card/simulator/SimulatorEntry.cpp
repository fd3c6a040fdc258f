#include "card/simulator/SimulatorEntry.h"

#include <QComboBox>
#include <QFormLayout>
#include <QSpinBox>

#include <algorithm>

namespace {

struct FaultChoice {
    SimulatorFault::Kind kind;
    const char* text;
    bool n, m, k, p = false;
};

const FaultChoice kFaultChoices[] = {
    {SimulatorFault::Kind::Healthy, "Healthy wiring", false, false, false},
    {SimulatorFault::Kind::RelayNeverCloses, "Relay N never closes", true, false, false},
    {SimulatorFault::Kind::InputStuckActive, "Input N stuck active", true, false, false},
    {SimulatorFault::Kind::InputNeverActive, "Input N never active", true, false, false},
    {SimulatorFault::Kind::SwappedWires, "Wires of channels N and M swapped", true, true, false},
    {SimulatorFault::Kind::EveryKthWriteFails, "Every Kth write fails", false, false, true},
    {SimulatorFault::Kind::EveryKthReadFails, "Every Kth read fails", false, false, true},
    {SimulatorFault::Kind::DeadAfterK, "Card stops answering after K operations", false, false,
     true},
    {SimulatorFault::Kind::Intermittent, "Relay N contact intermittent: P % of closings fail", true,
     false, false, true},
};

} // namespace

SimulatorEntry::SimulatorEntry(LoopbackSimulator::Clock clock)
    : clock_(std::move(clock)) {}

QString SimulatorEntry::name() const {
    return QStringLiteral("Loop-back simulator (no card needed)");
}

bool SimulatorEntry::probe(QString& why) const {
    why.clear();
    return true;
}

std::unique_ptr<PortDevice> SimulatorEntry::open(QString& why) {
    if (fault_.kind == SimulatorFault::Kind::SwappedWires && fault_.n == fault_.m) {
        why = QStringLiteral("Choose two different channels N and M to swap.");
        return nullptr;
    }
    why.clear();
    return std::make_unique<LoopbackSimulator>(fault_, clock_);
}

bool SimulatorEntry::takeSpec(const DeviceSpec& spec) {
    if (spec.kind != DeviceSpec::Kind::Simulator)
        return false;
    fault_ = spec.fault;
    return true;
}

QWidget* SimulatorEntry::createOptions(QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* form = new QFormLayout(page);
    form->setContentsMargins(0, 0, 0, 0);

    auto* fault = new QComboBox(page);
    fault->setObjectName(QStringLiteral("simFault"));
    for (const FaultChoice& c : kFaultChoices)
        fault->addItem(QString::fromLatin1(c.text));
    auto spin = [page](const char* name, int min, int max, int value) {
        return settingSpinBox(page, name, min, max, value);
    };
    auto* n = spin("simN", 0, 15, fault_.n);
    auto* m = spin("simM", 0, 15, fault_.m);
    auto* k = spin("simK", 1, 1000000000, fault_.k);
    auto* percent = spin("simP", 0, 100, fault_.percent);
    percent->setSuffix(QStringLiteral(" %"));
    auto* operate = spin("simOperateMs", 0, 10000, fault_.operateMs);
    operate->setSuffix(QStringLiteral(" ms"));
    operate->setToolTip(QStringLiteral("Each input follows its relay only this long after the "
                                       "write; a shorter read-back delay shows mismatches."));
    form->addRow(QStringLiteral("Fault for this run:"), fault);
    form->addRow(QStringLiteral("Channel N:"), n);
    form->addRow(QStringLiteral("Channel M:"), m);
    form->addRow(QStringLiteral("K:"), k);
    form->addRow(QStringLiteral("P:"), percent);
    form->addRow(QStringLiteral("Relay operate time:"), operate);

    auto update = [this, fault, n, m, k, percent, operate] {
        const FaultChoice& c = kFaultChoices[std::max(0, fault->currentIndex())];
        fault_ = {c.kind,           n->value(),       m->value(), k->value(),
                  operate->value(), percent->value(), fault_.seed};
        n->setEnabled(c.n);
        m->setEnabled(c.m);
        k->setEnabled(c.k);
        percent->setEnabled(c.p);
    };
    fault->setCurrentIndex(static_cast<int>(
        std::find_if(std::begin(kFaultChoices), std::end(kFaultChoices),
                     [this](const FaultChoice& c) { return c.kind == fault_.kind; }) -
        std::begin(kFaultChoices)));
    QObject::connect(fault, &QComboBox::currentIndexChanged, page, update);
    for (QSpinBox* s : {n, m, k, percent, operate})
        QObject::connect(s, &QSpinBox::valueChanged, page, update);
    update();
    return page;
}
