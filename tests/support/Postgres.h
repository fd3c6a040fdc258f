#pragma once

#include "support/FreePort.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

// A real PostgreSQL server of the test's own: initdb and pg_ctl from Debian's package in a
// temporary folder, as an unprivileged user (nobody, when the test runs as root), listening on
// 127.0.0.1 only, on a free port; stopped when this goes. why says what is missing when it
// cannot start.
class PostgresServer {
public:
    bool start() {
        const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql"))
                                         .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QString bin;
        for (const QString& v : versions) // the newest installed
            if (QFile::exists(QStringLiteral("/usr/lib/postgresql/%1/bin/initdb").arg(v)))
                bin = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(v);
        if (bin.isEmpty()) {
            why = QStringLiteral("no PostgreSQL server is installed (scripts/setup.sh test "
                                 "installs postgresql)");
            return false;
        }
        bin_ = bin;
        port_ = freePort();
        data_ = dir_.filePath(QStringLiteral("data"));
        if (::geteuid() == 0 && ::chown(qPrintable(dir_.path()), 65534, 65534) != 0) {
            why = QStringLiteral("cannot give the server's folder to nobody");
            return false;
        }
        if (!as({bin + QStringLiteral("initdb"), QStringLiteral("-D"), data_, QStringLiteral("-U"),
                 QStringLiteral("looptest"), QStringLiteral("--auth=trust"),
                 QStringLiteral("--no-sync")}))
            return false;
        return restart();
    }
    ~PostgresServer() { stop(); }
    void stop() {
        if (started_)
            as({bin_ + QStringLiteral("pg_ctl"), QStringLiteral("-D"), data_, QStringLiteral("-m"),
                QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")});
        started_ = false;
    }
    // Starts the server again after stop(), on the same port and data.
    bool restart() {
        started_ = as({bin_ + QStringLiteral("pg_ctl"), QStringLiteral("-D"), data_,
                       QStringLiteral("-l"), dir_.filePath(QStringLiteral("server.log")),
                       QStringLiteral("-w"), QStringLiteral("-o"),
                       QStringLiteral("-k %1 -c listen_addresses=127.0.0.1 -p %2 -c fsync=off")
                           .arg(dir_.path())
                           .arg(port_),
                       QStringLiteral("start")});
        return started_;
    }
    QString url() const {
        return QStringLiteral("postgresql://looptest@127.0.0.1:%1/postgres").arg(port_);
    }
    int port() const { return port_; }
    QString why;

private:
    // Runs a server tool, as nobody when this runs as root.
    bool as(QStringList command) {
        if (::geteuid() == 0)
            command =
                QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                            QStringLiteral("--clear-groups")} +
                command;
        QProcess p;
        p.setWorkingDirectory(dir_.path());
        p.start(::geteuid() == 0 ? QStringLiteral("/usr/bin/setpriv") : command.takeFirst(),
                command);
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            why = QStringLiteral("%1 failed: %2%3")
                      .arg(command.join(QLatin1Char(' ')),
                           QString::fromLocal8Bit(p.readAllStandardError()),
                           QString::fromLocal8Bit(p.readAllStandardOutput()));
            return false;
        }
        return true;
    }

    QTemporaryDir dir_;
    QString bin_, data_;
    int port_ = 0;
    bool started_ = false;
};
