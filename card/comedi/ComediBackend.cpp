#include "card/comedi/ComediBackend.h"

#include "card/DeviceSpec.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

namespace {

// Built with the library, or without it (see the folder's backend.cmake).
#ifdef LOOPTEST_WITH_COMEDI
const ComediEntry::Library kLibrary = makeComediLibrary;
const char* const kAbsent = "";
#else
const ComediEntry::Library kLibrary;
const char* const kAbsent = "This build has no data-acquisition card support (it needs comedilib).";
#endif

bool parse(const std::string&, const std::string* settings, std::any& into, std::string& why) {
    if (!settings || settings->empty() || settings->front() != '/') {
        why = "comedi: needs the device file, for example comedi:/dev/comedi0";
        return false;
    }
    into = *settings;
    return true;
}

// Every /dev/comediN with 16 digital outputs and 16 digital inputs, in the order of N.
void list(const DeviceSources& sources, const DeviceSpec* named,
          std::vector<std::unique_ptr<DeviceEntry>>& entries) {
    const auto* standIn = sources.standIn<ComediStandIn>(comediBackend().name);
    const ComediEntry::Library library = standIn ? standIn->library : kLibrary;
    if (!library)
        return;
    const QDir dir(QString::fromStdString(standIn ? standIn->deviceDir : "/dev"));
    static const QRegularExpression comediName(QStringLiteral("^comedi\\d+$"));
    QStringList names = dir.entryList({QStringLiteral("comedi*")}, QDir::System | QDir::Files);
    names = names.filter(comediName);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return a.mid(6).toInt() < b.mid(6).toInt();
    });
    const std::string* path = named ? named->settingsOf<std::string>(comediBackend()) : nullptr;
    bool found = false;
    for (const QString& name : names) {
        const std::string device = dir.filePath(name).toStdString();
        auto dio = library();
        if (dio && dio->open(device) && findDioLayout(*dio)) {
            entries.push_back(std::make_unique<ComediEntry>(device, dio->boardName(), library));
            found = found || (path && *path == device);
        }
    }
    // A device the search did not list is still offered, so that opening it says what is
    // wrong with it.
    if (path && !found)
        entries.push_back(std::make_unique<ComediEntry>(*path, "named device", library));
}

} // namespace

const Backend& comediBackend() {
    static const Backend backend{
        "comedi",
        {"comedi"},
        "comedi:/dev/comediN",
        "  comedi:/dev/comediN                a data-acquisition card with 16 digital\n"
        "                                     outputs and 16 digital inputs\n",
        {},
        {},
        kAbsent,
        parse,
        list,
    };
    return backend;
}
