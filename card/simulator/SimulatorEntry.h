#pragma once

#include "card/DeviceEntry.h"
#include "card/simulator/Faults.h"

#include <string>

// The built-in loop-back simulator, healthy or playing one fault the user picks for this run.
class SimulatorEntry : public DeviceEntry {
public:
    explicit SimulatorEntry(LoopbackSimulator::Clock clock = PortDevice::monotonicUs,
                            LoopbackSimulator::Wait wait = PortDevice::sleepUntilUs);
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
    LoopbackSimulator::Wait wait_;
    SimulatorFault fault_;
};
