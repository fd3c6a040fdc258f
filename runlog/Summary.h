#pragma once

#include "looptest/Counting.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

// What a run's log says, read back: the counts per relay, and every error row for the picture.
// A log holding several runs (the same --log file used again) is read for its last run.
struct RunSummary {
    struct ErrorRow {
        QDateTime time;
        int lane = 0; // 0-15 the relay charged, 16 the reads, 17 writes charged to no relay
        ErrorKind kind = ErrorKind::InputInactive;
        std::int64_t count = 0;
    };
    QString startDetail;
    QDateTime started, lastRow;
    bool complete = false; // the program ended and wrote its totals
    std::array<std::int64_t, 16> errors{};
    std::array<std::int64_t, 16> clearedByReset{};
    std::int64_t loops = 0;
    std::int64_t loopsCleared = 0;
    std::int64_t failedReads = 0;
    QDateTime checkpoint;             // of the last checkpoint, for a log cut short
    std::int64_t afterCheckpoint = 0; // errors logged after it
    std::vector<ErrorRow> rows;
    std::vector<QDateTime> resets;
};

// Reads a log; false with a reason when it is not one.
bool readRunLog(const QString& path, RunSummary& summary, QString& why);
// The per-relay table, as text.
QString summaryTable(const RunSummary& summary);
// A self-contained HTML page: the run's settings, the table, and an SVG timeline with one row
// per relay showing when its errors came.
QString summaryHtml(const RunSummary& summary);

// Splits one CSV record (RFC 4180); a quoted field may hold commas and doubled quotes.
QStringList splitCsv(const QString& line);
