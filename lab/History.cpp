#include "lab/History.h"

QString historyTable(const LabDatabase::History& h) {
    QString out = QStringLiteral("card %1: %2 runs, first seen %3\n"
                                 "relay     closings       errors  errors per million closings\n")
                      .arg(h.card)
                      .arg(h.runs)
                      .arg(h.firstSeen.toLocalTime().toString(Qt::ISODate));
    for (int r = 0; r < 16; ++r) {
        const LabDatabase::Counts& relay = h.relays[r];
        out += QStringLiteral("%1  %2  %3  %4\n")
                   .arg(r, 5)
                   .arg(relay.closings, 11)
                   .arg(relay.errors, 11)
                   .arg(relay.closings > 0
                            ? QString::number(double(relay.errors) * 1e6 / double(relay.closings),
                                              'f', 1)
                            : QStringLiteral("-"),
                        27);
    }
    out += QStringLiteral("last runs, newest first:\n"
                          "started              host                  ending      verdict "
                          "       loops       errors\n");
    for (const LabDatabase::Run& run : h.lastRuns)
        out +=
            QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                .arg(run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), -19)
                .arg(run.host, -20)
                .arg(run.ending, -10)
                .arg(run.verdict.isEmpty() ? QStringLiteral("-") : run.verdict, -7)
                .arg(run.loops, 11)
                .arg(run.errors, 11);
    return out;
}
