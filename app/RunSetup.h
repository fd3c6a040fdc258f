#pragma once

#include "app/CommandLine.h"
#include "card/DeviceSelectingCard.h"
#include "diagnosis/Limits.h"
#include "lab/CardRun.h"
#include "lab/Metrics.h"
#include "looptest/LoopTest.h"
#include "runlog/RunRecorder.h"

#include <QString>

#include <memory>
#include <vector>

// One run's chain, built the same way for the window and for a run without a display: the card
// control on the device entries (the device the options name preselected), the window with its
// results, and what watches the results: the run's record, the card's book and the metrics,
// saved at each checkpoint and finished when the program ends.
class RunSetup {
public:
    RunSetup(std::vector<std::unique_ptr<DeviceEntry>> entries, const Options& options);
    ~RunSetup();
    RunSetup(const RunSetup&) = delete;
    RunSetup& operator=(const RunSetup&) = delete;

    DeviceSelectingCard& card() { return card_; }
    const DeviceSelectingCard& card() const { return card_; }
    LoopTest& window() { return window_; }
    const LoopResults& results() const { return window_.results(); }
    RunRecorder& recorder() { return recorder_; }
    // Where the run is recorded; empty with --no-log.
    const QString& logPath() const { return logPath_; }

    // The window's start-up: asks for the driver and opens the device; false when the program
    // ended there.
    bool open();
    // Starts the record with the settings as they stand now, the card's book (with a card)
    // and the metrics (with --metrics). False with why the record could not start; the run
    // goes on without it. What else goes wrong is told to onWarning.
    bool startRecord(QString& why);
    // Told what goes wrong with the book or the metrics, and each relay that passes its life.
    std::function<void(const QString&)> onWarning;
    // Told once when the card's records begin to wait on this PC, and once when they reach
    // the database after that (CardRun::onRecordsWait).
    std::function<void(bool waiting, const QString& words)> onRecordsWait;
    // The relays that passed their rated life in this run.
    const QList<int>& lifePassed() const { return lifePassed_; }
    // At the run's end, each relay's errors per million closings in this run and (with a card
    // whose other runs the database told) its closings over its life, judged against the
    // limits; a fail fails the run as the lab keeps it.
    struct Judged {
        int relay;
        Measurement measured;
    };
    const std::vector<Judged>& judged() const { return judged_; }
    bool lifeJudged() const { return lifeJudged_; }
    bool judgedFail() const;
    const Limits& limits() const { return options_.judgedBy; }
    QString who() const { return QString::fromStdString(options_.operatorName); }

private:
    void startLab();
    void finishLab();
    void judge();

    Options options_;
    QString logPath_;
    DeviceSelectingCard card_;
    LoopTest window_;
    RunRecorder recorder_;
    std::unique_ptr<CardRun> book_;
    std::unique_ptr<MetricsFile> metrics_;
    QList<int> lifePassed_;
    std::vector<Judged> judged_;
    bool lifeJudged_ = false;
};

// Where a run is recorded: the --log file, a new file in the user's data folder, or nowhere
// (--no-log, an empty string).
QString logPathFor(const Options& options, qint64 startMs);
// The lab's database: --lab-db, or lab-db in the program's settings file, or the default.
QString labDatabaseUrl(const Options& options);
// What the options leave to the program's settings file, read once: who tests (--operator, or
// operator in the settings file, or the login name) and the card type's limits (--limits, or
// the file limits names there, or the defaults). False with why (the file's line) when the
// limits file is refused; the defaults stand then.
bool settleOptions(Options& options, QString& why);
// What the chooser says about it.
QString logNote(const QString& path);
// The start row's detail: the device, its settings, the card, who tests where, the speeds and
// the versions.
QString startDetail(const DeviceSelectingCard& card, const LoopResults& results,
                    const QString& who);
