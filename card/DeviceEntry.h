#pragma once

#include "card/DeviceSpec.h"
#include "card/PortDevice.h"

#include <QString>

#include <memory>

class QSpinBox;
class QWidget;

// One line of the device chooser: a device the card control can drive.
class DeviceEntry {
public:
    virtual ~DeviceEntry() = default;
    // The text the chooser lists.
    virtual QString name() const = 0;
    // Whether open() can be expected to succeed now; otherwise why not. Used to preselect.
    virtual bool probe(QString& why) const = 0;
    // Who holds the device now, in words, when another program does (it cannot be opened
    // then); empty when nobody does, or when that cannot be told before opening it.
    virtual QString heldBy() const { return {}; }
    // Opens the device; on failure returns nullptr and says why, in words a technician can act on.
    virtual std::unique_ptr<PortDevice> open(QString& why) = 0;
    // Settings the user picks in the chooser for this entry, or nullptr when it has none. The
    // widget writes them into the entry as they change.
    virtual QWidget* createOptions(QWidget* parent);
    // Takes the settings of a device spec that names this entry; false if it names another.
    virtual bool takeSpec(const DeviceSpec& spec);
    // The settings it opens with, in words, for the run's record.
    virtual QString settings() const { return {}; }
};

// A named spin box for an entry's settings in the chooser.
QSpinBox* settingSpinBox(QWidget* page, const char* name, int min, int max, int value);
