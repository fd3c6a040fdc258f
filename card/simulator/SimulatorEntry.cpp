#include "card/simulator/SimulatorEntry.h"

#include "card/DeviceSpec.h"
#include "card/simulator/Faults.h"
#include "card/simulator/SimulatorBackend.h"

#include <QComboBox>
#include <QFormLayout>
#include <QSpinBox>

#include <algorithm>
#include <string_view>

namespace {

// The chooser's line for a fault: its words, begun with a capital.
QString choice(const char* words) {
    QString text = QString::fromLatin1(words);
    text[0] = text[0].toUpper();
    return text;
}

// Whether a fault takes the number a letter stands for.
bool takes(const FaultForm* form, const char* letter) {
    return form && std::any_of(form->args.begin(), form->args.end(), [letter](const auto& a) {
               return std::string_view(a.letter) == letter;
           });
}

} // namespace

SimulatorEntry::SimulatorEntry(LoopbackSimulator::Clock clock, LoopbackSimulator::Wait wait)
    : clock_(std::move(clock))
    , wait_(std::move(wait)) {}

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
    return std::make_unique<LoopbackSimulator>(fault_, clock_, wait_);
}

bool SimulatorEntry::takeSpec(const DeviceSpec& spec) {
    const auto* fault = spec.settingsOf<SimulatorFault>(simulatorBackend());
    if (fault)
        fault_ = *fault;
    return fault != nullptr;
}

QWidget* SimulatorEntry::createOptions(QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* form = new QFormLayout(page);
    form->setContentsMargins(0, 0, 0, 0);

    auto* fault = new QComboBox(page);
    fault->setObjectName(QStringLiteral("simFault"));
    // Healthy wiring first, then every fault the simulator plays.
    std::vector<const FaultForm*> forms{nullptr};
    fault->addItem(QStringLiteral("Healthy wiring"));
    for (const FaultForm& form : faultForms()) {
        forms.push_back(&form);
        fault->addItem(choice(form.words));
    }
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
    auto* ms = spin("simMs", 1, 10000, fault_.ms);
    ms->setSuffix(QStringLiteral(" ms"));
    form->addRow(QStringLiteral("P:"), percent);
    form->addRow(QStringLiteral("MS:"), ms);
    form->addRow(QStringLiteral("Relay operate time:"), operate);

    // The chooser offers one fault; more named on the command line stay until another is picked.
    auto update = [this, forms, fault, n, m, k, percent, ms, operate] {
        const FaultForm* form = forms[std::max(0, fault->currentIndex())];
        fault_.kind = form ? form->kind : SimulatorFault::Kind::Healthy;
        fault_.n = n->value();
        fault_.m = m->value();
        fault_.k = k->value();
        fault_.percent = percent->value();
        fault_.ms = ms->value();
        fault_.operateMs = operate->value();
        n->setEnabled(takes(form, "N"));
        m->setEnabled(takes(form, "M"));
        k->setEnabled(takes(form, "K"));
        percent->setEnabled(takes(form, "P"));
        ms->setEnabled(takes(form, "MS"));
    };
    const FaultForm* current = faultForm(fault_.kind);
    fault->setCurrentIndex(
        static_cast<int>(std::find(forms.begin(), forms.end(), current) - forms.begin()));
    QObject::connect(fault, &QComboBox::currentIndexChanged, page, [this, update] {
        fault_.also.clear();
        update();
    });
    for (QSpinBox* s : {n, m, k, percent, ms, operate})
        QObject::connect(s, &QSpinBox::valueChanged, page, update);
    update();
    return page;
}
