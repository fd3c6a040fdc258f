#include "card/DeviceSelectingCard.h"

#include "card/DeviceChooser.h"

DeviceSelectingCard::DeviceSelectingCard(std::vector<std::unique_ptr<DeviceEntry>> entries)
    : entries_(std::move(entries)) {}

bool DeviceSelectingCard::SelectDevice() {
    DeviceChooser chooser(entries_);
    if (chooser.exec() != QDialog::Accepted)
        return false;
    auto device = chooser.takeDevice();
    if (!device)
        return false;
    device_ = std::move(device);
    opened_ = chooser.openedEntry();
    return true;
}

bool DeviceSelectingCard::usable(std::int32_t port) const {
    return device_ && active_ && (port == 0 || port == 1);
}

bool DeviceSelectingCard::ReadPort(std::int32_t port, std::int16_t& data) {
    return usable(port) && device_->read(port, data);
}

bool DeviceSelectingCard::WritePort(std::int32_t port, std::int16_t data) {
    return usable(port) && device_->write(port, data);
}

QString DeviceSelectingCard::deviceName() const {
    return opened_ >= 0 ? entries_[opened_]->name() : QString();
}
