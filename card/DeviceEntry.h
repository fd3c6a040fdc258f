#pragma once

#include "card/PortDevice.h"

#include <QString>

#include <memory>
#include <vector>

// One line of the device chooser: a kind of device the card control can drive.
class DeviceEntry {
public:
    virtual ~DeviceEntry() = default;
    // The text the chooser lists.
    virtual QString name() const = 0;
    // Whether open() can be expected to succeed now; otherwise why not. Used to preselect.
    virtual bool probe(QString& why) const = 0;
    // Opens the device; on failure returns nullptr and says why, in words a technician can act on.
    virtual std::unique_ptr<PortDevice> open(QString& why) = 0;
};

// The ISA relay/photo card. Its port access is not built in yet, so it always says why it
// cannot be opened.
class IsaCardEntry : public DeviceEntry {
public:
    static QString cardName();
    QString name() const override { return cardName(); }
    bool probe(QString& why) const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
};

// The built-in loop-back simulator; always opens.
class LoopbackEntry : public DeviceEntry {
public:
    QString name() const override;
    bool probe(QString& why) const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
};

// The entries the program offers, real card first.
std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries();
