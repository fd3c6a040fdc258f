#include "card/comedi/ComediEntry.h"

#include "card/CardHold.h"
#include "card/DeviceSpec.h"
#include "card/comedi/ComediBackend.h"

ComediEntry::ComediEntry(std::string path, std::string board, Library library)
    : path_(std::move(path))
    , board_(std::move(board))
    , library_(std::move(library)) {}

QString ComediEntry::name() const {
    return QStringLiteral("Data-acquisition card %1 (%2)")
        .arg(QString::fromStdString(path_), QString::fromStdString(board_));
}

QString ComediEntry::heldBy() const {
    return QString::fromStdString(CardHold::holder(CardHold::deviceKey("comedi", path_)));
}

bool ComediEntry::probe(QString& why) const {
    const QString held = heldBy();
    if (!held.isEmpty()) {
        why = QStringLiteral("Held by another program: %1.").arg(held);
        return false;
    }
    auto dio = library_();
    if (!dio || !dio->open(path_) || !findDioLayout(*dio)) {
        why = QStringLiteral("%1 cannot be opened now.").arg(QString::fromStdString(path_));
        return false;
    }
    return true;
}

std::unique_ptr<PortDevice> ComediEntry::open(QString& why) {
    return ComediDevice::open(library_(), path_, why);
}

bool ComediEntry::takeSpec(const DeviceSpec& spec) {
    const auto* path = spec.settingsOf<std::string>(comediBackend());
    return path && *path == path_;
}
