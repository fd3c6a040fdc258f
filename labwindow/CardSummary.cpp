#include "labwindow/CardSummary.h"

#include <algorithm>

CardSummary summarize(const LabDatabase::History& history, const Limits& limits) {
    CardSummary s;
    s.card = history.card;
    s.runs = history.runs;
    s.diagnoses = static_cast<int>(history.diagnoses.size());
    if (!history.lastRuns.empty())
        s.last = history.lastRuns.front();
    const std::array<RelayTrend, 16> trends = relayTrends(history, limits);
    for (int r = 0; r < 16; ++r) {
        if (history.relays[r].closings > 0 &&
            (s.lifeRelay < 0 || trends[r].lifeUsed > s.lifeUsed)) {
            s.lifeUsed = trends[r].lifeUsed;
            s.lifeRelay = r;
        }
        if (!trends[r].flags.isEmpty() && s.firstFlag.isEmpty())
            s.firstFlag = QStringLiteral("relay %1: %2").arg(r).arg(trends[r].flags.front());
        s.flags += static_cast<int>(trends[r].flags.size());
    }
    return s;
}

std::vector<CardSummary> summarizeLab(const std::vector<LabDatabase::History>& histories,
                                      const Limits& limits) {
    std::vector<CardSummary> out;
    out.reserve(histories.size());
    for (const LabDatabase::History& h : histories)
        out.push_back(summarize(h, limits));
    std::stable_sort(out.begin(), out.end(), [](const CardSummary& a, const CardSummary& b) {
        if ((a.flags > 0) != (b.flags > 0))
            return a.flags > 0;
        const QDateTime ta = a.last ? a.last->started : QDateTime();
        const QDateTime tb = b.last ? b.last->started : QDateTime();
        if (ta.isValid() != tb.isValid())
            return ta.isValid();
        if (ta != tb)
            return ta > tb;
        return a.card < b.card;
    });
    return out;
}

QString verdictWords(const LabDatabase::Run& run) {
    if (run.verdict == QLatin1String("pass"))
        return QStringLiteral("pass");
    if (run.verdict == QLatin1String("fail"))
        return QStringLiteral("FAIL");
    return run.ending.isEmpty() ? QStringLiteral("-") : run.ending;
}
