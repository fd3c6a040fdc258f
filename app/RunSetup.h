#pragma once

#include "app/CommandLine.h"
#include "card/DeviceSelectingCard.h"
#include "looptest/LoopTest.h"
#include "runlog/RunRecorder.h"

#include <QString>

#include <memory>
#include <vector>

// One run's chain, built the same way for the window and for a run without a display: the card
// control on the device entries (the device the options name preselected), the window with its
// results, and the run's record watching the results, finished when the program ends.
class RunSetup {
public:
    RunSetup(std::vector<std::unique_ptr<DeviceEntry>> entries, const Options& options);

    DeviceSelectingCard& card() { return card_; }
    LoopTest& window() { return window_; }
    const LoopResults& results() const { return window_.results(); }
    RunRecorder& recorder() { return recorder_; }
    // Where the run is recorded; empty with --no-log.
    const QString& logPath() const { return logPath_; }

    // The window's start-up: asks for the driver and opens the device; false when the program
    // ended there.
    bool open();
    // Starts the record with the settings as they stand now. False with why; the run goes on
    // without a record.
    bool startRecord(QString& why);

private:
    QString logPath_;
    DeviceSelectingCard card_;
    LoopTest window_;
    RunRecorder recorder_;
};

// Where a run is recorded: the --log file, a new file in the user's data folder, or nowhere
// (--no-log, an empty string).
QString logPathFor(const Options& options, qint64 startMs);
// What the chooser says about it.
QString logNote(const QString& path);
// The start row's detail: the device, its settings, the speeds and the versions.
QString startDetail(const DeviceSelectingCard& card, const LoopResults& results);
