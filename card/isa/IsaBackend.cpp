#include "card/isa/IsaBackend.h"

#include "card/isa/IsaCardEntry.h"
#include "card/isa/PortHelperDevice.h"

namespace {

bool parse(const std::string&, const std::string* settings, std::any& into, std::string& why) {
    unsigned base = PortHelperDevice::kCommonBase;
    QString reason;
    if (settings && !PortHelperDevice::parseBase(QString::fromStdString(*settings), base, reason)) {
        why = "isa:BASE: " + reason.toStdString();
        return false;
    }
    into = base;
    return true;
}

void list(const DeviceSources& sources, const DeviceSpec*,
          std::vector<std::unique_ptr<DeviceEntry>>& entries) {
    const auto* standIn = sources.standIn<IsaStandIn>(isaBackend().name);
    entries.push_back(standIn ? std::make_unique<IsaCardEntry>(standIn->helper, standIn->portFile)
                              : std::make_unique<IsaCardEntry>(PortHelperDevice::findHelper()));
}

} // namespace

const Backend& isaBackend() {
    static const Backend backend{
        "isa",
        {"isa"},
        "isa, isa:BASE",
        "  isa, isa:BASE                      the ISA card at I/O base BASE (hex, default\n"
        "                                     300), through the port helper\n",
        {},
        "  looptest --headless --device isa:300 --loops 1600 --junit report.xml\n\n",
        {},
        parse,
        list,
    };
    return backend;
}
