#include "card/DeviceEntry.h"

#include "card/LoopbackSimulator.h"

QString IsaCardEntry::cardName() {
    return QStringLiteral("MORVELLA WDM Drv 1.10 for ISA 16 Photo 16 Relay Card");
}

bool IsaCardEntry::probe(QString& why) const {
    why = QStringLiteral("This build has no port access for the ISA card, so it cannot be opened. "
                         "Choose the loop-back simulator to run without the card.");
    return false;
}

std::unique_ptr<PortDevice> IsaCardEntry::open(QString& why) {
    probe(why);
    return nullptr;
}

QString LoopbackEntry::name() const {
    return QStringLiteral("Loop-back simulator (no card needed)");
}

bool LoopbackEntry::probe(QString& why) const {
    why.clear();
    return true;
}

std::unique_ptr<PortDevice> LoopbackEntry::open(QString& why) {
    why.clear();
    return std::make_unique<LoopbackSimulator>();
}

std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries() {
    std::vector<std::unique_ptr<DeviceEntry>> entries;
    entries.push_back(std::make_unique<IsaCardEntry>());
    entries.push_back(std::make_unique<LoopbackEntry>());
    return entries;
}
