#pragma once

#include "card/ComediDevice.h"
#include "card/DeviceSpec.h"
#include "card/LoopbackSimulator.h"
#include "card/PortDevice.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

// One line of the device chooser: a device the card control can drive.
class DeviceEntry {
public:
    virtual ~DeviceEntry() = default;
    // The text the chooser lists.
    virtual QString name() const = 0;
    // Whether open() can be expected to succeed now; otherwise why not. Used to preselect.
    virtual bool probe(QString& why) const = 0;
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

// The ISA relay/photo card through the port helper, at an I/O base the user enters. standIn,
// for tests, is a file the helper serves in place of the I/O space.
class IsaCardEntry : public DeviceEntry {
public:
    explicit IsaCardEntry(std::string helper, std::string standIn = {});
    static QString cardName();
    QString name() const override { return cardName(); }
    bool probe(QString& why) const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
    QWidget* createOptions(QWidget* parent) override;
    bool takeSpec(const DeviceSpec& spec) override;
    QString settings() const override;

private:
    std::string helper_;
    std::string standIn_;
    QString baseText_;
};

// A digital I/O card of the data-acquisition library, at /dev/comediN.
class ComediEntry : public DeviceEntry {
public:
    using Library = std::function<std::unique_ptr<DioLibrary>()>;
    ComediEntry(std::string path, std::string board, Library library);
    QString name() const override;
    bool probe(QString& why) const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
    bool takeSpec(const DeviceSpec& spec) override;

private:
    std::string path_;
    std::string board_;
    Library library_;
};

// The built-in loop-back simulator, healthy or playing one fault the user picks for this run.
class SimulatorEntry : public DeviceEntry {
public:
    explicit SimulatorEntry(LoopbackSimulator::Clock clock = LoopbackSimulator::steadyMicroseconds);
    QString name() const override;
    bool probe(QString& why) const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
    QWidget* createOptions(QWidget* parent) override;
    bool takeSpec(const DeviceSpec& spec) override;
    QString settings() const override { return QString::fromStdString(describe(fault_)); }

    void setFault(const SimulatorFault& fault) { fault_ = fault; }
    const SimulatorFault& fault() const { return fault_; }

private:
    LoopbackSimulator::Clock clock_;
    SimulatorFault fault_;
};

// Where the standard entries look for devices; tests point them elsewhere.
struct DeviceSources {
    // The port helper program; empty: the one installed with this program.
    std::string portHelper;
    // A file the helper serves in place of the I/O space; tests only.
    std::string portStandIn;
    std::string deviceDir = "/dev";
    ComediEntry::Library dioLibrary = makeComediLibrary;
    LoopbackSimulator::Clock clock = LoopbackSimulator::steadyMicroseconds;
};

// The entries the program offers: the ISA card, every data-acquisition card with 16 outputs
// and 16 inputs, and the simulator last.
std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries(const DeviceSources& sources = {});
