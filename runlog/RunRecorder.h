#pragma once

#include "card/CardControl.h"
#include "runlog/LogFile.h"
#include "window/LoopTest.h"

#include <QObject>

#include <array>
#include <functional>
#include <vector>

class QAbstractButton;
class QLabel;
class QTimer;

// The window's card as the recorder sees it: every call passes through unchanged, and what it
// wrote, read and which calls failed is noted for the recorder to take.
class RecordingCard : public CardControl {
public:
    explicit RecordingCard(CardControl& card)
        : card_(card) {}
    bool SelectDevice() override { return card_.SelectDevice(); }
    void setActive(bool active) override { card_.setActive(active); }
    bool ReadPort(std::int32_t port, std::int16_t& data) override;
    bool WritePort(std::int32_t port, std::int16_t data) override;
    std::string lastError() const override { return card_.lastError(); }

    // Since the recorder last took them.
    struct Pending {
        std::array<int, 2> okWrites{};
        std::array<int, 2> failedWrites{};
        std::array<std::int16_t, 2> failedData{}; // the byte of the last failed write
        std::array<bool, 2> read{};               // whether the port was read...
        std::array<bool, 2> readOk{};             // ...successfully...
        std::array<std::int16_t, 2> readData{};   // ...and what it gave
    } pending;
    std::array<std::int16_t, 2> lastWritten{}; // the last byte each port took
    std::int64_t failedReads = 0;              // over the whole run
    std::int64_t failedWrites = 0;

private:
    CardControl& card_;
};

// Keeps the record of a run as it happens, by watching the window's controls after each of
// its handlers and the card calls they made: every error, when and how, in a CSV log that
// survives a crash, and the counts by kind in the counters' tool tips.
//
// Errors come in episodes: the first error of a run of identical errors on a channel is a row
// at once (count 1); the rest of the run is one more row when it ends or at the next
// checkpoint. A channel that starts more than a few episodes a minute is flickering and gets
// one row a minute instead. The counts of a channel's error rows add up to its errors.
class RunRecorder : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<qint64()>; // milliseconds since the epoch

    RunRecorder(LoopTest& window, RecordingCard& card, Clock clock = {});
    ~RunRecorder() override;

    // Starts the log in path with the start row; false with a reason (the test goes on).
    bool startLog(const QString& path, const QString& detail, QString& why);
    // Ends the record: what is still open, the totals, the end row. Runs once; the window's
    // end calls it.
    void finish(const QString& detail = {});
    // Told once when writing the log fails after it started.
    std::function<void(const QString&)> onWarning;
    const LogFile& log() const { return log_; }

    // Where a run started at startMs is logged unless told otherwise.
    static QString defaultPath(qint64 startMs);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum Kind { Inactive, Active, WriteFailed, UnchargedWrite, ReadFailed, KindCount };
    struct Episode {
        bool open = false;
        bool flickering = false;
        int starts = 0; // episodes started since the last minute mark
        std::int64_t unreported = 0;
        QString written, read, detail;
    };

    void row(const char* event, int channel, const QString& written, const QString& read,
             std::int64_t count, const QString& detail);
    void error(Kind kind, int index, std::int64_t count, const QString& written,
               const QString& read, const QString& detail);
    void pass(Kind kind, int index);
    void flush(Kind kind, int index, const char* why);
    void flushAll(const char* why);
    void minuteMark();
    void afterEvent(LoopTest::Event event);
    void afterWrites();
    void afterReadBack();
    void afterReset();
    std::int64_t counter(const QLabel* label) const;
    QString reason() const; // the card's word on its last failure, if it has one
    QString channelTip(int channel) const;
    QString time(qint64 ms) const;

    LoopTest& window_;
    RecordingCard& card_;
    Clock clock_;
    LogFile log_;
    QTimer* syncTimer_ = nullptr; // rows written since the last sync reach the disk within a minute
    bool logging_ = false;
    bool finished_ = false;
    bool warned_ = false;
    bool changed_ = false;
    qint64 started_ = 0;
    qint64 countingSince_ = 0; // the start, or the last Reset
    qint64 lastMark_ = 0;

    std::array<QAbstractButton*, 16> R16_{};
    std::array<QLabel*, 16> errLb_{};
    QLabel* loops_ = nullptr;
    QLabel* verdict_ = nullptr;
    QAbstractButton* autoCmd_ = nullptr;

    std::array<Episode, KindCount * 16> episodes_{};
    std::array<std::int64_t, 16> errors_{}; // the counters as last seen
    std::int64_t loopCount_ = 0;
    std::array<std::array<std::int64_t, 3>, 16> byKind_{}; // Inactive, Active, WriteFailed
    std::array<qint64, 16> lastErrorMs_{};
    std::array<std::int64_t, 16> lastErrorLoop_{};
    QString lastError_;
};
