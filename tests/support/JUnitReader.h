#pragma once

#include <QProcess>
#include <QString>

// A JUnit report as an independent reader (Debian's python3-junitparser) sees it: a line per
// suite, "name tests failures", then a line per failed case, "name message". Empty, with why,
// when it could not be read.
inline QString readJUnit(const QString& path, QString& why) {
    QProcess reader;
    reader.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, junitparser\n"
                                 "for s in junitparser.JUnitXml.fromfile(sys.argv[1]):\n"
                                 "  print(s.name, s.tests, s.failures)\n"
                                 "  for c in s:\n"
                                 "    if not c.is_passed: print(c.name, c.result[0].message)\n"),
                  path});
    if (!reader.waitForFinished(30000) || reader.exitCode() != 0) {
        why = QString::fromUtf8(reader.readAllStandardError());
        if (why.contains(QLatin1String("No module named")))
            why = QStringLiteral("python3-junitparser is missing: scripts/setup.sh installs it");
        return {};
    }
    return QString::fromUtf8(reader.readAllStandardOutput()).trimmed();
}
