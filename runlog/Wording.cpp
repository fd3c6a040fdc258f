#include "runlog/Wording.h"

QString verdictWord(bool passed) {
    return passed ? QStringLiteral("PASS") : QStringLiteral("FAIL");
}

QString verdictProperty(bool passed) {
    return verdictWord(passed).toLower();
}

QString endDetail(bool passed, const QString& more) {
    const QString verdict = QStringLiteral("verdict ") + verdictWord(passed);
    return more.isEmpty() ? verdict : verdict + QStringLiteral("; ") + more;
}

QString durationText(std::int64_t ms, bool shortUnderAnHour) {
    const std::int64_t s = ms / 1000;
    if (shortUnderAnHour && s < 3600)
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString orUnknown(const QString& time) {
    return time.isEmpty() ? QStringLiteral("?") : time;
}
