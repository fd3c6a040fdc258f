#pragma once

#include "looptest/Counting.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

class QIODevice;

// What a run's log says, read back row by row and checked: the counts of its last run (a file
// used again with --log holds several). A row that breaks the format, or contradicts the rows
// before it, makes the log damaged; reading stops there.
struct RunSummary {
    enum class State { Complete, CutShort, Damaged };
    enum class Verdict { Pass, Fail, Damaged };

    State state = State::CutShort;
    QString damage; // the first fault found: "line N: ..."
    QString startDetail;
    QString card;                         // the card tested, where the run named it
    std::array<QString, 16> lifePassed{}; // relays that passed their rated life, in words
    QString startedText, lastRowText;     // the times as the log has them, to the second
    qint64 startedMs = 0, lastRowMs = 0;
    std::array<std::int64_t, 16> errors{}; // the totals; of a log cut short, its last checkpoint
    std::array<std::int64_t, 16> clearedByReset{};
    std::int64_t loops = 0;
    std::int64_t loopsCleared = 0;
    std::int64_t failedReads = 0;
    std::int64_t failedWrites = 0;    // charged to a relay or not
    std::int64_t unchargedWrites = 0; // charged to no relay
    std::int64_t otherFailures = 0;   // failures the end row states beyond its rows
    QString checkpointText;           // of the last checkpoint, for a log cut short
    std::int64_t afterCheckpoint = 0; // errors logged after it
    // Errors by lane (0-15 the relays, 16 the reads, 17 writes charged to no relay) and kind.
    std::array<std::array<std::int64_t, kErrorKinds>, 18> byLane{};
    int firstErrorLane = -1;
    qint64 lastErrorMs = 0; // when the last error row came
    // Of a card's diagnosis: a row per channel, its class and words, and how many failed.
    std::array<QString, 16> diagnosis{};
    bool diagnosed = false;
    std::int64_t diagnosisFailures = 0;
    qint64 lastRunOffset = 0; // where the last run's start row begins
    qint64 readTo = -1;       // of a damaged log, where reading stopped; -1: at its end

    RunTally tally() const;
    Verdict verdict() const;
};

// Reads the log at path, which must be a regular file. False with why when it cannot be read
// at all; a log that is damaged reads, with the state saying so.
bool readRunLog(const QString& path, RunSummary& summary, QString& why);
// The same from an open device.
void readRunLog(QIODevice& in, RunSummary& summary);

// The per-relay table and the verdict, as text.
QString summaryTable(const RunSummary& summary);
// Its parts, for the text and the HTML report alike: the first line (when the run started and
// its last row), what a reader must know before the counts (one sentence each), the verdict as
// its last line says it (PASS, FAIL, FAIL with why, DAMAGED), a row per relay (relay, input,
// errors, cleared by Reset), and the totals (a row per figure: what, count).
QString summaryHeading(const RunSummary& summary);
QStringList summaryNotes(const RunSummary& summary);
QString summaryVerdict(const RunSummary& summary);
QList<QStringList> summaryCounts(const RunSummary& summary);
QList<QStringList> summaryTotals(const RunSummary& summary);
// A self-contained HTML page: the run's settings, the table, and an SVG timeline with one row
// per relay showing when its errors came. Reads the last run's rows again from the log.
QString summaryHtml(const RunSummary& summary, QIODevice& log);

// Splits one CSV record (RFC 4180); a quoted field may hold commas and doubled quotes.
QStringList splitCsv(const QString& line);
