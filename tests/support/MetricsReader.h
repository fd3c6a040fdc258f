#pragma once

#include <QFile>
#include <QRegularExpression>
#include <QString>

#include <array>
#include <cstdint>

// Relay r's closings in a metrics file.
inline std::array<std::int64_t, 16> closingsOf(const QString& path) {
    std::array<std::int64_t, 16> c{};
    c.fill(-1);
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QRegularExpression sample(
        QStringLiteral(R"re(^looptest_closings_total\{.*relay="(\d+)"\} (\d+)$)re"));
    for (const QByteArray& line : f.readAll().split('\n'))
        if (const auto m = sample.match(QString::fromUtf8(line)); m.hasMatch())
            c[m.captured(1).toInt()] = m.captured(2).toLongLong();
    return c;
}
