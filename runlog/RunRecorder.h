#pragma once

#include "looptest/LoopResults.h"
#include "runlog/LogFile.h"

#include <QObject>

#include <array>
#include <functional>

class QTimer;

// Keeps the record of a run as it happens, by watching the loop's results: every error, when
// and how, in a CSV log that survives a crash.
//
// Errors come in episodes: the first error of a run of identical errors on a channel is a row
// at once (count 1); the rest of the run is one more row when it ends or at the next
// checkpoint. A channel that starts more than a few episodes a minute is flickering and gets
// one row a minute instead. The counts of a channel's error rows add up to its errors.
class RunRecorder : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<qint64()>; // milliseconds since the epoch

    explicit RunRecorder(const LoopResults& results, Clock clock = {});
    ~RunRecorder() override;

    // Starts the log in path with the start row, and a card row naming the card tested when
    // there is one; false with a reason (the test goes on).
    bool startLog(const QString& path, const QString& detail, const QString& card, QString& why);
    // A row of words the run says on the way (a database it cannot reach).
    void note(const QString& words);
    // A relay passed its rated life: a row with its closings.
    void relayLifePassed(int relay, std::int64_t closings, std::int64_t life);
    // Ends the record: what is still open, the totals, and the end row with the run's verdict
    // (otherFailures: what failed the run beyond the results, such as a run-time error). Runs
    // once.
    void finish(const QString& detail = {}, std::int64_t otherFailures = 0);
    // Told once when writing the log fails after it started.
    std::function<void(const QString&)> onWarning;
    const LogFile& log() const { return log_; }

    // Where a run started at startMs is logged unless told otherwise.
    static QString defaultPath(qint64 startMs);

signals:
    // A minute mark: what gathered is written and synced. The card's book and the metrics
    // are saved with it, so that a crash loses no more of them than of the log.
    void checkpointed();

private:
    // Where an episode runs: a relay's mismatches of either kind and its failed writes, a
    // port's failed writes charged to no relay, and a port's failed reads.
    enum Lane { Inactive, Active, WriteFailed, UnchargedWrite, ReadFailed, LaneCount };
    struct Episode {
        bool open = false;
        bool flickering = false;
        int starts = 0; // episodes started since the last minute mark
        std::int64_t unreported = 0;
        int written = -1, read = -1;
        QString detail;
    };

    // A row of the event at the loop count and time of now (or of the checkpoint written).
    void row(logformat::LogRow r);
    void error(Lane lane, int index, int written, int read, const QString& detail);
    void pass(Lane lane, int index);
    void flush(Lane lane, int index, const char* why);
    void flushAll(const char* why);
    void minuteMark();

    void onError(const LoopError& e);
    void onWritten(int port);
    void onChecked(int port);
    void onCleared(const LoopResults::Counts& before);

    const LoopResults& results_;
    Clock clock_;
    LogFile log_;
    QTimer* syncTimer_ = nullptr; // rows written since the last sync reach the disk within a minute
    bool logging_ = false;
    bool finished_ = false;
    bool warned_ = false;
    bool changed_ = false;
    qint64 lastMark_ = 0;
    qint64 moment_ = -1; // while the rows of one moment are written (a checkpoint, a Reset, the
                         // end): its time, which they all carry
    std::int64_t resetAt_ = -1; // while a Reset is written: the loop count it cleared
    int chargedSinceRead_ = 0;  // bit r: relay r's input mismatched since its port was read

    std::array<Episode, LaneCount * 16> episodes_{};
};
