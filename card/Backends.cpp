// The table of backends. Adding one is a folder of its own, a row here and a line in CMake.
#include "card/Backend.h"

#include "card/comedi/ComediBackend.h"
#include "card/isa/IsaBackend.h"
#include "card/modbus/ModbusBackend.h"
#include "card/simulator/SimulatorBackend.h"

const std::vector<const Backend*>& backends() {
    static const std::vector<const Backend*> table = {
        &isaBackend(),
        &comediBackend(),
        &modbusBackend(),
        &simulatorBackend(),
    };
    return table;
}

std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries(const DeviceSources& sources,
                                                                const DeviceSpec* named) {
    std::vector<std::unique_ptr<DeviceEntry>> entries;
    for (const Backend* b : backends()) {
        const bool leftOut = std::find(sources.leftOut.begin(), sources.leftOut.end(), b->name) !=
                             sources.leftOut.end();
        if (!leftOut && b->list)
            b->list(sources, named, entries);
    }
    return entries;
}
