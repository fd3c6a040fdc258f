#pragma once

// What the lab database's files share: how times, texts and optional figures are bound and
// read, and the diagnosis's time columns. For lab/Lab*.cpp only.

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <optional>

namespace labsql {

inline QString timeText(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

inline QDateTime timeOf(const QVariant& v) {
    return QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
}

// A text column's value: never NULL, which Qt binds for a null QString.
inline QVariant text(const QString& s) {
    return QVariant(s.isNull() ? QStringLiteral("") : s);
}

inline QString failure(const QSqlQuery& q) {
    return q.lastError().text().trimmed();
}

inline QVariant real(const std::optional<double>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType(QMetaType::Double));
}

inline std::optional<double> realOf(const QVariant& v) {
    if (v.isNull())
        return std::nullopt;
    return v.toDouble();
}

// A diagnosis's nine time columns, in the order the figures and their least, median and worst
// are bound and read.
inline const QStringList& timeColumns() {
    static const QStringList columns = [] {
        QStringList out;
        for (const char* figure : {"operate", "release", "bounce"})
            for (const char* of : {"least", "median", "worst"})
                out << QStringLiteral("%1_%2").arg(QLatin1String(figure), QLatin1String(of));
        return out;
    }();
    return columns;
}

} // namespace labsql
