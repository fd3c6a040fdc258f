#pragma once

#include "card/CardControl.h"
#include "card/DeviceEntry.h"

#include <QString>

#include <memory>
#include <stdexcept>
#include <vector>

// Thrown by a port call when another program has taken the card over (a second master drives
// a network module): what is read from then on is not this run's, and the run cannot go on.
struct CardTakenOver : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The card control placed on the window: SelectDevice shows the device chooser, and port
// access goes to the device that opened. Before a device is open and active, every port call
// fails (returns false) without touching anything. A read of port 1, which ends a read-back,
// then asks the device whether its outputs are still as written: if another program changed
// them, it throws CardTakenOver before the read-back counts anything, and every later port
// call fails.
class DeviceSelectingCard : public CardControl {
public:
    explicit DeviceSelectingCard(std::vector<std::unique_ptr<DeviceEntry>> entries);

    bool SelectDevice() override;
    void setActive(bool active) override { active_ = active; }
    bool ReadPort(std::int32_t port, std::int16_t& data) override;
    bool WritePort(std::int32_t port, std::int16_t data) override;
    std::string lastError() const override {
        return !takenOver_.isEmpty() ? takenOver_.toStdString()
               : device_             ? device_->lastError()
                                     : "";
    }

    // The name of the open device, or an empty string.
    QString deviceName() const;
    // The settings the open device was opened with, in words.
    QString deviceSettings() const;
    // A line the chooser shows under its list, such as where the run will be recorded.
    void setNote(const QString& note) { note_ = note; }
    // The ID of the card tested, shown in the chooser to be changed; what the user left there
    // once a device opened.
    void setCardId(const QString& id) { cardId_ = id; }
    QString cardId() const { return cardId_; }

    // Starts the chooser on the entry a device spec names, with its settings; false if no
    // entry is that device.
    bool preselect(const DeviceSpec& spec);
    // Starts the chooser on the entry that opened last, with the settings it opened with, and
    // lets go of its device (and of the card's hold): the next SelectDevice opens it again.
    void closeKeepingChoice();
    // The entry SelectDevice opens without the chooser, with its settings in words; empty when
    // none is preselected.
    QString preselectedName() const;
    // Whether SelectDevice shows the chooser (the default) or opens the preselected entry
    // without asking anyone, for runs without a display.
    void setChooserShown(bool shown) { chooserShown_ = shown; }
    // Why the last SelectDevice opened nothing, in the chooser's words.
    QString openError() const { return openError_; }
    // The open device, for those who time its contacts; nullptr before one opened.
    PortDevice* device() const { return device_.get(); }
    // Why the card was found taken over by another program, in words; empty while it is not.
    QString takenOver() const { return takenOver_; }

private:
    bool usable(std::int32_t port) const;

    std::vector<std::unique_ptr<DeviceEntry>> entries_;
    std::unique_ptr<PortDevice> device_;
    int opened_ = -1;
    int preselected_ = -1;
    bool chooserShown_ = true;
    bool active_ = false;
    QString openError_;
    QString preselectError_;
    QString note_;
    QString cardId_;
    QString takenOver_;
};
