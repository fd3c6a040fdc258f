#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The real program's run: its exit status and what it wrote.
struct Program {
    int status = -1;
    QString out, err;
};

// Runs the real program (LOOPTEST_PROGRAM) with its data and settings folders in dir, so that
// its lab queue, database and settings are the test's own.
inline Program run(const QTemporaryDir& dir, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(LOOPTEST_PROGRAM), args);
    const bool finished = p.waitForFinished(60000);
    Program out{p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    // A program that did not start, did not end or crashed has no status of its own: never 0.
    if (!finished || p.exitStatus() != QProcess::NormalExit) {
        out.status = -1;
        out.err += QStringLiteral("\n[the program %1: %2]")
                       .arg(finished ? QStringLiteral("crashed") : QStringLiteral("did not end"),
                            p.errorString());
        if (!finished)
            p.kill(), p.waitForFinished(5000);
    }
    return out;
}
