#include "card/isa/IsaCardEntry.h"

#include "card/CardHold.h"
#include "card/DeviceSpec.h"
#include "card/isa/IsaBackend.h"
#include "card/isa/PortHelperDevice.h"

#include <QFileInfo>
#include <QFormLayout>
#include <QLineEdit>

IsaCardEntry::IsaCardEntry(std::string helper, std::string standIn)
    : helper_(std::move(helper))
    , standIn_(std::move(standIn))
    , baseText_(QString::number(PortHelperDevice::kCommonBase, 16)) {}

QString IsaCardEntry::cardName() {
    return QStringLiteral("MORVELLA WDM Drv 1.10 for ISA 16 Photo 16 Relay Card");
}

QString IsaCardEntry::heldBy() const {
    // The port helper of the program that drives the card holds its two ports.
    unsigned base = PortHelperDevice::kCommonBase;
    QString unused;
    if (!PortHelperDevice::parseBase(baseText_, base, unused))
        return {};
    for (unsigned address : {base, base + 1}) {
        const std::string who = CardHold::holder(CardHold::portKey(address, standIn_));
        if (!who.empty())
            return QString::fromStdString(who);
    }
    return {};
}

bool IsaCardEntry::probe(QString& why) const {
    const QString held = heldBy();
    if (!held.isEmpty()) {
        why = QStringLiteral("Held by another program: %1.").arg(held);
        return false;
    }
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
    const auto* base = spec.settingsOf<unsigned>(isaBackend());
    if (base)
        baseText_ = QString::number(*base, 16);
    return base != nullptr;
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
