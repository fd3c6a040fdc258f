#include "card/DeviceEntry.h"

#include "card/PortHelperDevice.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSpinBox>

#include <algorithm>

QWidget* DeviceEntry::createOptions(QWidget*) {
    return nullptr;
}

bool DeviceEntry::takeSpec(const DeviceSpec&) {
    return false;
}

// --- ISA card -------------------------------------------------------------------------------

IsaCardEntry::IsaCardEntry(std::string helper, std::string standIn)
    : helper_(std::move(helper))
    , standIn_(std::move(standIn))
    , baseText_(QString::number(PortHelperDevice::kCommonBase, 16)) {}

QString IsaCardEntry::cardName() {
    return QStringLiteral("MORVELLA WDM Drv 1.10 for ISA 16 Photo 16 Relay Card");
}

bool IsaCardEntry::probe(QString& why) const {
    // The helper's probe touches no port; it only tells whether it could take them.
    if (!standIn_.empty()) {
        why.clear();
        return QFileInfo::exists(QString::fromStdString(standIn_));
    }
    unsigned base = PortHelperDevice::kCommonBase;
    QString unused;
    PortHelperDevice::parseBase(baseText_, base, unused);
    return PortHelperDevice::probe(helper_, base, why);
}

std::unique_ptr<PortDevice> IsaCardEntry::open(QString& why) {
    unsigned base = 0;
    if (!PortHelperDevice::parseBase(baseText_, base, why))
        return nullptr;
    return PortHelperDevice::open(helper_, base, why, standIn_);
}

bool IsaCardEntry::takeSpec(const DeviceSpec& spec) {
    if (spec.kind != DeviceSpec::Kind::Isa)
        return false;
    baseText_ = QString::number(spec.base, 16);
    return true;
}

QString IsaCardEntry::settings() const {
    return QStringLiteral("I/O base ") + baseText_;
}

QWidget* IsaCardEntry::createOptions(QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* form = new QFormLayout(page);
    form->setContentsMargins(0, 0, 0, 0);
    auto* base = new QLineEdit(baseText_, page);
    base->setObjectName(QStringLiteral("isaBase"));
    base->setToolTip(QStringLiteral("The card's jumpered I/O base address, hexadecimal, "
                                    "100 to 3FE; commonly 300."));
    form->addRow(QStringLiteral("I/O base (hex):"), base);
    QObject::connect(base, &QLineEdit::textChanged, page,
                     [this](const QString& text) { baseText_ = text; });
    return page;
}

// --- Data-acquisition card ------------------------------------------------------------------

ComediEntry::ComediEntry(std::string path, std::string board, Library library)
    : path_(std::move(path))
    , board_(std::move(board))
    , library_(std::move(library)) {}

QString ComediEntry::name() const {
    return QStringLiteral("Data-acquisition card %1 (%2)")
        .arg(QString::fromStdString(path_), QString::fromStdString(board_));
}

bool ComediEntry::probe(QString& why) const {
    auto dio = library_();
    if (!dio || !dio->open(path_) || !findDioLayout(*dio)) {
        why = QStringLiteral("%1 cannot be opened now.").arg(QString::fromStdString(path_));
        return false;
    }
    return true;
}

std::unique_ptr<PortDevice> ComediEntry::open(QString& why) {
    return ComediDevice::open(library_(), path_, why);
}

bool ComediEntry::takeSpec(const DeviceSpec& spec) {
    return spec.kind == DeviceSpec::Kind::Comedi && spec.path == path_;
}

// --- Simulator ------------------------------------------------------------------------------

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
        auto* s = new QSpinBox(page);
        s->setObjectName(QString::fromLatin1(name));
        s->setRange(min, max);
        s->setValue(value);
        return s;
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

// --- The list -------------------------------------------------------------------------------

std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries(const DeviceSources& sources) {
    std::vector<std::unique_ptr<DeviceEntry>> entries;
    entries.push_back(std::make_unique<IsaCardEntry>(
        sources.portHelper.empty() ? PortHelperDevice::findHelper() : sources.portHelper,
        sources.portStandIn));

    if (sources.dioLibrary) {
        const QDir dir(QString::fromStdString(sources.deviceDir));
        static const QRegularExpression comediName(QStringLiteral("^comedi\\d+$"));
        QStringList names = dir.entryList({QStringLiteral("comedi*")}, QDir::System | QDir::Files);
        names = names.filter(comediName);
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
            return a.mid(6).toInt() < b.mid(6).toInt();
        });
        for (const QString& name : names) {
            const std::string path = dir.filePath(name).toStdString();
            auto dio = sources.dioLibrary();
            if (dio && dio->open(path) && findDioLayout(*dio))
                entries.push_back(
                    std::make_unique<ComediEntry>(path, dio->boardName(), sources.dioLibrary));
        }
    }

    entries.push_back(std::make_unique<SimulatorEntry>(sources.clock));
    return entries;
}
