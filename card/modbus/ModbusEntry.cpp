#include "card/modbus/ModbusEntry.h"

#include "card/CardHold.h"
#include "card/DeviceSpec.h"
#include "card/modbus/ModbusBackend.h"
#include "card/modbus/ModbusDevice.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSpinBox>

QString ModbusEntry::name() const {
    return QStringLiteral("Modbus relay/input module");
}

QString ModbusEntry::heldBy() const {
    // A host name is not looked up here: the hold is known once the module is reached.
    const std::string key = ModbusDevice::holdKey(settings_);
    return key.empty() ? QString() : QString::fromStdString(CardHold::holder(key));
}

bool ModbusEntry::probe(QString& why) const {
    const QString held = heldBy();
    if (!held.isEmpty()) {
        why = QStringLiteral("Held by another program: %1.").arg(held);
        return false;
    }
    // Nothing is asked of the network or a serial line until the user opens it.
    why = QStringLiteral("A module over the network (TCP) or a serial line (RTU): enter how to "
                         "reach it below, then open it.");
    return false;
}

std::unique_ptr<PortDevice> ModbusEntry::open(QString& why) {
    if (!settings_.rtu && settings_.host.empty()) {
        why = QStringLiteral("Enter the module's host name or address.");
        return nullptr;
    }
    return ModbusDevice::open(settings_, why);
}

bool ModbusEntry::takeSpec(const DeviceSpec& spec) {
    const auto* settings = spec.settingsOf<ModbusSettings>(modbusBackend());
    if (settings)
        settings_ = *settings;
    return settings != nullptr;
}

QWidget* ModbusEntry::createOptions(QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* form = new QFormLayout(page);
    form->setContentsMargins(0, 0, 0, 0);
    auto spin = [page](const char* name, int min, int max, int value) {
        return settingSpinBox(page, name, min, max, value);
    };
    auto* transport = new QComboBox(page);
    transport->setObjectName(QStringLiteral("modbusTransport"));
    transport->addItems({QStringLiteral("TCP (network)"), QStringLiteral("RTU (serial line)")});
    transport->setCurrentIndex(settings_.rtu ? 1 : 0);
    auto* host = new QLineEdit(QString::fromStdString(settings_.host), page);
    host->setObjectName(QStringLiteral("modbusHost"));
    auto* port = spin("modbusPort", 1, 65535, settings_.port);
    auto* device = new QLineEdit(QString::fromStdString(settings_.device), page);
    device->setObjectName(QStringLiteral("modbusDevice"));
    auto* baud = spin("modbusBaud", 300, 1000000, settings_.baud);
    auto* parity = new QComboBox(page);
    parity->setObjectName(QStringLiteral("modbusParity"));
    parity->addItems({QStringLiteral("N"), QStringLiteral("E"), QStringLiteral("O")});
    parity->setCurrentText(QString(QLatin1Char(settings_.parity)));
    auto* dataBits = spin("modbusDataBits", 7, 8, settings_.dataBits);
    auto* stopBits = spin("modbusStopBits", 1, 2, settings_.stopBits);
    auto* unit = spin("modbusUnit", 0, 255, settings_.unit);
    auto* coils = spin("modbusCoils", 0, ModbusSettings::kMaxAddress, settings_.coils);
    auto* inputs = spin("modbusInputs", 0, ModbusSettings::kMaxAddress, settings_.inputs);
    form->addRow(QStringLiteral("Link:"), transport);
    form->addRow(QStringLiteral("Host:"), host);
    form->addRow(QStringLiteral("TCP port:"), port);
    form->addRow(QStringLiteral("Serial device:"), device);
    form->addRow(QStringLiteral("Baud:"), baud);
    form->addRow(QStringLiteral("Parity:"), parity);
    form->addRow(QStringLiteral("Data bits:"), dataBits);
    form->addRow(QStringLiteral("Stop bits:"), stopBits);
    form->addRow(QStringLiteral("Unit id:"), unit);
    form->addRow(QStringLiteral("First coil (relay 0):"), coils);
    form->addRow(QStringLiteral("First discrete input (input 0):"), inputs);

    auto update = [=, this] {
        settings_.rtu = transport->currentIndex() == 1;
        settings_.host = host->text().trimmed().toStdString();
        settings_.port = port->value();
        settings_.device = device->text().trimmed().toStdString();
        settings_.baud = baud->value();
        settings_.parity = parity->currentText().at(0).toLatin1();
        settings_.dataBits = dataBits->value();
        settings_.stopBits = stopBits->value();
        settings_.unit = unit->value();
        settings_.coils = coils->value();
        settings_.inputs = inputs->value();
        for (QWidget* w : {static_cast<QWidget*>(host), static_cast<QWidget*>(port)})
            w->setEnabled(!settings_.rtu);
        for (QWidget* w : {static_cast<QWidget*>(device), static_cast<QWidget*>(baud),
                           static_cast<QWidget*>(parity), static_cast<QWidget*>(dataBits),
                           static_cast<QWidget*>(stopBits)})
            w->setEnabled(settings_.rtu);
    };
    QObject::connect(transport, &QComboBox::currentIndexChanged, page, update);
    QObject::connect(parity, &QComboBox::currentIndexChanged, page, update);
    for (QLineEdit* e : {host, device})
        QObject::connect(e, &QLineEdit::textChanged, page, update);
    for (QSpinBox* s : {port, baud, dataBits, stopBits, unit, coils, inputs})
        QObject::connect(s, &QSpinBox::valueChanged, page, update);
    update();
    return page;
}
