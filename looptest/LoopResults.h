#pragma once

#include "looptest/Counting.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <string>

// One error as a handler decided it.
struct LoopError {
    ErrorKind kind = ErrorKind::InputInactive;
    int relay = -1;   // the relay charged; -1 for a failed read or a write charged to no relay
    int port = 0;     // the port written or read
    int written = -1; // the relay byte of a failed write, or the byte the relay's port last took
    int read = -1;    // for a mismatch, the input byte of the input's port as the card gave it
    QString why;      // the card's own words on a failed call, where it has any
};

// The loop's results: everything the handlers count and decide, in one place. The window's
// labels show it; the run's record, a run without a display, the tool tips and the reports
// watch it. Each change is told with a typed signal at the moment a handler decides it, before
// the handler goes on. Counts never wrap.
class LoopResults : public QObject {
    Q_OBJECT
public:
    // One relay's errors by kind: mismatches of its input, and failed writes charged to it.
    struct RelayCounts {
        std::int64_t inputInactive = 0;
        std::int64_t inputActive = 0;
        std::int64_t writeFailed = 0;
        // What the relay's error counter shows.
        std::int64_t total() const {
            return saturatingAdd(saturatingAdd(inputInactive, inputActive), writeFailed);
        }
        bool operator==(const RelayCounts&) const = default;
    };
    // What the window's counters show: the loop count and each relay's errors.
    struct Counts {
        std::array<RelayCounts, 16> relays{};
        std::int64_t loops = 0;
    };
    enum class Setting { StepPeriod, ReadBackDelay };

    explicit LoopResults(QObject* parent = nullptr);

    // --- What the handlers tell, as they decide it.
    // A port write and its outcome; a failed one is charged to relay chargeTo, or to no relay (-1).
    void wrote(int port, std::int16_t data, bool ok, int chargeTo, const std::string& why = {});
    // A port read and its outcome.
    void read(int port, bool ok, std::int16_t data, const std::string& why = {});
    void countLoop();
    // A mismatch of the input wired to relay, charged to the relay; closed: its box was ticked.
    void mismatch(int relay, bool closed);
    // The inputs of a port that read were compared; the relays not charged for them passed.
    void checked(int port);
    void setMode(bool autoMode);
    void setSetting(Setting setting, int ms);
    // Clears what the window's counters show: the loop count and every relay's errors.
    void clear();
    // Counting goes on from these counts (a test that starts near a limit).
    void preset(const Counts& counts) { counts_ = counts; }

    // --- What it holds.
    const Counts& counts() const { return counts_; }
    const RelayCounts& relay(int r) const { return counts_.relays[r]; }
    std::int64_t errors(int r) const { return counts_.relays[r].total(); }
    std::int64_t loops() const { return counts_.loops; }
    // Not shown by the window, and not cleared by Reset: the whole run's.
    std::int64_t failedReads(int port) const { return failedReads_[port]; }
    std::int64_t unchargedWrites(int port) const { return unchargedWrites_[port]; }
    // Every failed write of the run, charged or not.
    std::int64_t failedWrites() const { return failedWrites_; }
    // How often relay r closed: the writes the card took that set its bit.
    std::int64_t closings(int r) const { return closings_[r]; }
    std::uint8_t lastWritten(int port) const { return lastWritten_[port]; }
    std::uint8_t lastRead(int port) const { return lastRead_[port]; }
    // What the run's verdict rests on.
    RunTally tally() const;
    bool autoMode() const { return autoMode_; }
    int stepMs() const { return stepMs_; }
    int readbackMs() const { return readbackMs_; }

signals:
    // An error counted: a relay charged (relay >= 0), a failed read, or a failed write charged
    // to no relay.
    void error(const LoopError& error);
    // The card took a relay byte.
    void written(int port, int byte);
    // A write the card took closed relay (after written).
    void relayClosed(int relay);
    // A port read and its inputs compared; the relays not charged for them since its read passed.
    void portChecked(int port);
    void loopCounted(std::int64_t loops);
    void modeChanged(bool autoMode);
    // Reset: the counts as they stood before it.
    void cleared(const LoopResults::Counts& before);
    void settingChanged(LoopResults::Setting setting, int ms);

private:
    Counts counts_;
    std::array<std::int64_t, 2> failedReads_{};
    std::array<std::int64_t, 2> unchargedWrites_{};
    std::int64_t failedWrites_ = 0;
    std::array<std::int64_t, 16> closings_{};
    std::array<std::uint8_t, 2> lastWritten_{};
    std::array<std::uint8_t, 2> lastRead_{0xFF, 0xFF};
    bool autoMode_ = false;
    int stepMs_ = 0;
    int readbackMs_ = 0;
};
