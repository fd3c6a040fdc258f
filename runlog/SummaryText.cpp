#include "runlog/Summary.h"

#include "runlog/Wording.h"

QString summaryHeading(const RunSummary& s) {
    return QStringLiteral("Run started %1, last row %2 (%3)")
        .arg(orUnknown(s.startedText), orUnknown(s.lastRowText),
             durationText(s.lastRowMs - s.startedMs));
}

QStringList summaryNotes(const RunSummary& s) {
    QStringList notes;
    if (!s.card.isEmpty())
        notes << QStringLiteral("card: %1").arg(s.card);
    for (const QString& passed : s.lifePassed)
        if (!passed.isEmpty())
            notes << passed;
    if (s.state == RunSummary::State::Damaged)
        notes << QStringLiteral("This log is damaged: %1. Reading stopped there: nothing after it "
                                "can be trusted, and the counts below are as far as it went.")
                     .arg(s.damage);
    if (s.state == RunSummary::State::CutShort) {
        notes << (!s.checkpointText.isEmpty()
                      ? QStringLiteral("This log was cut short: the program did not end it. The "
                                       "counts are those of its last checkpoint, %1; %2 more "
                                       "errors were logged after it.")
                            .arg(s.checkpointText)
                            .arg(s.afterCheckpoint)
                      : QStringLiteral("This log was cut short before its first checkpoint: the "
                                       "counts below are not known; %1 errors were logged.")
                            .arg(s.afterCheckpoint));
    }
    if (s.otherFailures > 0)
        notes << QStringLiteral("The run ended with %1 failure(s) its rows do not show, such as a "
                                "run-time error.")
                     .arg(s.otherFailures);
    return notes;
}

QString summaryVerdict(const RunSummary& s) {
    switch (s.verdict()) {
    case RunSummary::Verdict::Damaged:
        return QStringLiteral("DAMAGED");
    case RunSummary::Verdict::Pass:
        return verdictWord(true);
    case RunSummary::Verdict::Fail:
        break;
    }
    // A diagnosis has no loop to come to its end.
    return s.state == RunSummary::State::CutShort && !s.diagnosed
               ? verdictWord(false) +
                     QStringLiteral(" (cut short: the run did not come to its end)")
               : verdictWord(false);
}

QList<QStringList> summaryCounts(const RunSummary& s) {
    QList<QStringList> rows;
    for (int r = 0; r < 16; ++r)
        rows << QStringList{QString::number(r), QString::number(15 - r),
                            QString::number(s.errors[r]), QString::number(s.clearedByReset[r])};
    return rows;
}

QList<QStringList> summaryTotals(const RunSummary& s) {
    return {
        {QStringLiteral("loops"), QString::number(s.loops)},
        {QStringLiteral("loops cleared by Reset"), QString::number(s.loopsCleared)},
        {QStringLiteral("failed reads"), QString::number(s.failedReads)},
        {QStringLiteral("failed writes"), QString::number(s.failedWrites)},
        {QStringLiteral("failed writes charged to no relay"), QString::number(s.unchargedWrites)}};
}

QString summaryTable(const RunSummary& s) {
    if (s.state == RunSummary::State::Damaged && s.startedText.isEmpty())
        return QStringLiteral("This is no run log that can be read: %1.\nverdict: DAMAGED\n")
            .arg(s.damage);
    QString out = summaryHeading(s) + QLatin1Char('\n') + s.startDetail + QLatin1Char('\n');
    for (const QString& note : summaryNotes(s))
        out += note + QLatin1Char('\n');
    if (s.diagnosed) {
        out += QStringLiteral("A diagnosis of the card, a row per channel:\n");
        for (int r = 0; r < 16; ++r)
            out += QStringLiteral("%1  %2\n").arg(r, 7).arg(s.diagnosis[r]);
        return out + QStringLiteral("verdict: %1\n").arg(summaryVerdict(s));
    }
    out += QStringLiteral("relay  input  errors  cleared by Reset\n");
    for (const QStringList& row : summaryCounts(s))
        out += QStringLiteral("%1  %2  %3  %4\n")
                   .arg(row[0], 5)
                   .arg(row[1], 5)
                   .arg(row[2], 6)
                   .arg(row[3], 16);
    out += QStringLiteral("loops: %1 (cleared by Reset: %2)\nfailed reads: %3\nfailed writes: %4 "
                          "(charged to no relay: %5)\nverdict: %6\n")
               .arg(s.loops)
               .arg(s.loopsCleared)
               .arg(s.failedReads)
               .arg(s.failedWrites)
               .arg(s.unchargedWrites)
               .arg(summaryVerdict(s));
    return out;
}
