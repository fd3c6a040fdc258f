#include "looptest/LoopResults.h"

LoopResults::LoopResults(QObject* parent)
    : QObject(parent) {}

void LoopResults::wrote(int port, std::int16_t data, bool ok, int chargeTo,
                        const std::string& why) {
    if (ok) {
        // The write closes each relay whose bit it sets where the port's last byte had it clear.
        const int closing = data & 0xFF & ~lastWritten_[port];
        lastWritten_[port] = static_cast<std::uint8_t>(data & 0xFF);
        emit written(port, lastWritten_[port]);
        for (int k = 0; closing >> k; ++k)
            if (closing & (1 << k)) {
                closings_[8 * port + k] = saturatingAdd(closings_[8 * port + k], 1);
                emit relayClosed(8 * port + k);
            }
        return;
    }
    failedWrites_ = saturatingAdd(failedWrites_, 1);
    if (chargeTo >= 0) {
        RelayCounts& c = counts_.relays[chargeTo];
        c.writeFailed = saturatingAdd(c.writeFailed, 1);
    } else {
        unchargedWrites_[port] = saturatingAdd(unchargedWrites_[port], 1);
    }
    emit error(
        {ErrorKind::WriteFailed, chargeTo, port, data & 0xFF, -1, QString::fromStdString(why)});
}

void LoopResults::read(int port, bool ok, std::int16_t data, const std::string& why) {
    if (ok) {
        lastRead_[port] = static_cast<std::uint8_t>(data & 0xFF);
        return;
    }
    failedReads_[port] = saturatingAdd(failedReads_[port], 1);
    emit error({ErrorKind::ReadFailed, -1, port, -1, -1, QString::fromStdString(why)});
}

void LoopResults::countLoop() {
    counts_.loops = saturatingAdd(counts_.loops, 1);
    emit loopCounted(counts_.loops);
}

void LoopResults::mismatch(int relay, bool closed) {
    RelayCounts& c = counts_.relays[relay];
    std::int64_t& count = closed ? c.inputInactive : c.inputActive;
    count = saturatingAdd(count, 1);
    const int inputPort = (15 - relay) / 8;
    emit error({closed ? ErrorKind::InputInactive : ErrorKind::InputActive,
                relay,
                inputPort,
                lastWritten_[relay / 8],
                lastRead_[inputPort],
                {}});
}

void LoopResults::checked(int port) {
    emit portChecked(port);
}

void LoopResults::setMode(bool autoMode) {
    autoMode_ = autoMode;
    emit modeChanged(autoMode);
}

void LoopResults::setSetting(Setting setting, int ms) {
    (setting == Setting::StepPeriod ? stepMs_ : readbackMs_) = ms;
    emit settingChanged(setting, ms);
}

void LoopResults::clear() {
    const Counts before = counts_;
    counts_ = {};
    emit cleared(before);
}

RunTally LoopResults::tally() const {
    RunTally t;
    for (const RelayCounts& c : counts_.relays)
        t.relayErrors = saturatingAdd(t.relayErrors, c.total());
    for (int port = 0; port < 2; ++port) {
        t.failedReads = saturatingAdd(t.failedReads, failedReads_[port]);
        t.unchargedWrites = saturatingAdd(t.unchargedWrites, unchargedWrites_[port]);
    }
    return t;
}
