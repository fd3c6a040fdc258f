#pragma once

#include "card/DeviceEntry.h"
#include "card/modbus/ModbusSettings.h"

// A Modbus relay/input module, over TCP or RTU, with the settings the user enters.
class ModbusEntry : public DeviceEntry {
public:
    QString name() const override;
    bool probe(QString& why) const override;
    QString heldBy() const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
    QWidget* createOptions(QWidget* parent) override;
    bool takeSpec(const DeviceSpec& spec) override;
    QString settings() const override { return QString::fromStdString(settings_.describe()); }

private:
    ModbusSettings settings_;
};
