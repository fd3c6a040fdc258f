#pragma once

#include "lab/LabDatabase.h"
#include "lab/LabQueue.h"
#include "looptest/LoopResults.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

struct DiagnosisReport;

// A run's records for the lab: this run's closings and errors per relay, its loops, how it
// ended, counted as the loop's results tell them. They are kept locally first: at its start,
// at each checkpoint and at its end the run appends its totals to its file in the lab's queue
// and hands them to the courier, which delivers them to the lab's database off this thread;
// nothing here waits for the database but the end, and that briefly. A database that cannot
// be reached is told once until it can again; a relay that passes relayLife closings (0: no
// limit) over all the card's runs is told once, as soon as the database has told the others.
class CardRun : public QObject {
    Q_OBJECT
public:
    // How long the end waits for the database to take the run's last totals.
    static constexpr int kEndWaitMs = 3000;

    // labUrl: as LabDatabase takes it (empty: the default SQLite file).
    CardRun(const QString& card, std::int64_t relayLife, const QString& labUrl = {});
    ~CardRun() override;
    // Counts the closings and errors of the loop, and its loops, as its results tell them.
    void watch(const LoopResults& results);

    // Starts the run's records, on device and recorded in log; false with why when they
    // cannot even be kept on this PC (the test goes on without them).
    bool start(const QString& device, const QString& log, QString& why);
    // Keeps what this run has counted, and hands it over.
    void checkpoint();
    // The run's end: how it ended and its verdict, kept and handed over; then waits up to
    // waitMs for the database, and says once that the records wait when it did not take them.
    void finish(const QString& ending, bool passed, int waitMs = kEndWaitMs);
    // Adds closings made outside the results (a diagnosis), relay by relay.
    void addClosings(const std::array<std::int64_t, 16>& closings);
    // Who tests, kept with the run; set before start.
    void setOperator(const QString& name) { entry_.run.operatorName = name; }
    // A diagnosis's findings, kept with the run from its next checkpoint (or its end) on.
    void setDiagnosis(const DiagnosisReport& report);
    // Each relay's closings over the card's life, this run's included, once the database has
    // told the other runs'; waits up to waitMs for the courier's first try when it has not.
    std::optional<LabDatabase::Relays> life(int waitMs = kEndWaitMs);

    const LabDatabase::Relays& thisRun() const { return entry_.run.relays; }
    // The run's file in the lab's queue.
    QString queueFile() const { return file_.path(); }

    // Told once for each relay that passes its rated life, with its closings.
    std::function<void(int relay, std::int64_t closings)> onLifePassed;
    // Told when the records cannot be delivered, once until they can again, with why.
    std::function<void(const QString&)> onWarning;
    // Told once when the records begin to wait on this PC (true), and once when the database
    // has them after that (false), with words for a person.
    std::function<void(bool waiting, const QString& words)> onRecordsWait;

private:
    void handOver();
    void poll();
    void closed(int relay);
    void checkLife(int relay);
    void warn(const QString& words);

    labqueue::File file_;
    labqueue::Entry entry_;
    const LoopResults* results_ = nullptr;
    std::int64_t relayLife_;
    LabDatabase::Relays others_{}; // the card's counts over its other runs, once known
    std::array<bool, 16> warned_{};
    bool othersKnown_ = false;
    bool started_ = false, failing_ = false, refused_ = false;
    QTimer poll_;
};

// A diagnosis's findings as the lab keeps them: per relay its class, times, bounces, each
// figure's verdict (the worse of its median's and its worst's) and the relay's; the limits.
LabDatabase::Diagnosis findingsOf(const DiagnosisReport& report);

// The host name a run is kept under: this PC's, or LOOPTEST_HOSTNAME's where it is set (two
// "PCs" on one machine, for a test).
QString labHostName();
