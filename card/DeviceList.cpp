#include "card/DeviceList.h"

#include "card/isa/PortHelperDevice.h"
#ifdef LOOPTEST_HAVE_MODBUS
#include "card/modbus/ModbusEntry.h"
#endif

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries(const DeviceSources& sources) {
    std::vector<std::unique_ptr<DeviceEntry>> entries;
    entries.push_back(std::make_unique<IsaCardEntry>(
        sources.portHelper.empty() ? PortHelperDevice::findHelper() : sources.portHelper,
        sources.portStandIn));

    if (sources.dioLibrary) {
        const QDir dir(QString::fromStdString(sources.deviceDir));
        static const QRegularExpression comediName(QStringLiteral("^comedi\\d+$"));
        QStringList names = dir.entryList({QStringLiteral("comedi*")}, QDir::System | QDir::Files);
        names = names.filter(comediName);
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
            return a.mid(6).toInt() < b.mid(6).toInt();
        });
        for (const QString& name : names) {
            const std::string path = dir.filePath(name).toStdString();
            auto dio = sources.dioLibrary();
            if (dio && dio->open(path) && findDioLayout(*dio))
                entries.push_back(
                    std::make_unique<ComediEntry>(path, dio->boardName(), sources.dioLibrary));
        }
    }

#ifdef LOOPTEST_HAVE_MODBUS
    if (sources.modbus)
        entries.push_back(std::make_unique<ModbusEntry>());
#endif
    entries.push_back(std::make_unique<SimulatorEntry>(sources.clock));
    return entries;
}
