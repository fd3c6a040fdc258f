#pragma once

#include "card/CardControl.h"
#include "card/DeviceEntry.h"

#include <memory>
#include <vector>

// The card control placed on the window: SelectDevice shows the device chooser, and port
// access goes to the device that opened. Before a device is open and active, every port call
// fails (returns false) without touching anything.
class DeviceSelectingCard : public CardControl {
public:
    explicit DeviceSelectingCard(std::vector<std::unique_ptr<DeviceEntry>> entries);

    bool SelectDevice() override;
    void setActive(bool active) override { active_ = active; }
    bool ReadPort(std::int32_t port, std::int16_t& data) override;
    bool WritePort(std::int32_t port, std::int16_t data) override;

    // The name of the open device, or an empty string.
    QString deviceName() const;

private:
    bool usable(std::int32_t port) const;

    std::vector<std::unique_ptr<DeviceEntry>> entries_;
    std::unique_ptr<PortDevice> device_;
    int opened_ = -1;
    bool active_ = false;
};
