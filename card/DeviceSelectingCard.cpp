#include "card/DeviceSelectingCard.h"

#include "card/Backend.h"
#include "card/DeviceChooser.h"

DeviceSelectingCard::DeviceSelectingCard(std::vector<std::unique_ptr<DeviceEntry>> entries)
    : entries_(std::move(entries)) {}

bool DeviceSelectingCard::preselect(const DeviceSpec& spec) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i]->takeSpec(spec)) {
            preselected_ = static_cast<int>(i);
            return true;
        }
    }
    preselected_ = -1;
    preselectError_ = spec.backend && !spec.backend->absent.empty()
                          ? QString::fromStdString(spec.backend->absent)
                          : QStringLiteral("No entry of the chooser is that device.");
    return false;
}

bool DeviceSelectingCard::SelectDevice() {
    openError_.clear();
    if (!chooserShown_) {
        if (preselected_ < 0) {
            openError_ = preselectError_.isEmpty() ? QStringLiteral("No device was named.")
                                                   : preselectError_;
            return false;
        }
        device_ = entries_[preselected_]->open(openError_);
        if (!device_)
            return false;
        opened_ = preselected_;
        return true;
    }
    DeviceChooser chooser(entries_, nullptr, preselected_);
    chooser.setNote(note_);
    chooser.setCardId(cardId_);
    if (chooser.exec() != QDialog::Accepted) {
        openError_ = QStringLiteral("No device was chosen.");
        return false;
    }
    auto device = chooser.takeDevice();
    if (!device)
        return false;
    device_ = std::move(device);
    opened_ = chooser.openedEntry();
    cardId_ = chooser.cardId();
    return true;
}

void DeviceSelectingCard::closeKeepingChoice() {
    if (opened_ >= 0)
        preselected_ = opened_;
    device_.reset();
    opened_ = -1;
    active_ = false;
    takenOver_.clear();
}

QString DeviceSelectingCard::preselectedName() const {
    if (preselected_ < 0)
        return {};
    const QString settings = entries_[preselected_]->settings();
    return settings.isEmpty()
               ? entries_[preselected_]->name()
               : QStringLiteral("%1 (%2)").arg(entries_[preselected_]->name(), settings);
}

bool DeviceSelectingCard::usable(std::int32_t port) const {
    return device_ && active_ && (port == 0 || port == 1) && takenOver_.isEmpty();
}

bool DeviceSelectingCard::ReadPort(std::int32_t port, std::int16_t& data) {
    if (!usable(port))
        return false;
    const bool ok = device_->read(port, data);
    // Port 1 ends a read-back: the outputs are asked after both inputs were read, so inputs
    // that another program's outputs could have driven are never counted.
    std::string why;
    if (port == 1 && !device_->outputsAsWritten(why)) {
        takenOver_ = QString::fromStdString(why);
        throw CardTakenOver(why);
    }
    return ok;
}

bool DeviceSelectingCard::WritePort(std::int32_t port, std::int16_t data) {
    return usable(port) && device_->write(port, data);
}

QString DeviceSelectingCard::deviceName() const {
    return opened_ >= 0 ? entries_[opened_]->name() : QString();
}

QString DeviceSelectingCard::deviceSettings() const {
    return opened_ >= 0 ? entries_[opened_]->settings() : QString();
}
