#include "lab/LabDatabase.h"

#include "lab/LabSql.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QStandardPaths>
#include <QUrl>

using namespace labsql;

namespace {

QAtomicInt g_connections;

} // namespace

LabDatabase::LabDatabase(const QString& url, int busyMs)
    : url_(url)
    , busyMs_(busyMs)
    , connection_(QStringLiteral("looptest-lab-%1").arg(g_connections.fetchAndAddRelaxed(1))) {
    postgres_ = url.startsWith(QLatin1String("postgresql://")) ||
                url.startsWith(QLatin1String("postgres://"));
}

LabDatabase::~LabDatabase() {
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
}

QString LabDatabase::defaultPath() {
    // Named in full: --card-history reads it before the application has a name.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("looptest/lab.sqlite"));
}

QString LabDatabase::sqlitePath(const QString& url) {
    if (url.isEmpty())
        return defaultPath();
    return url.startsWith(QLatin1String("sqlite:")) ? QUrl(url).path() : QString();
}

bool LabDatabase::validUrl(const QString& url, QString& why) {
    const QUrl u(url, QUrl::StrictMode);
    const QString scheme = u.scheme();
    if (url.isEmpty() || (scheme == QLatin1String("sqlite") && !u.path().isEmpty()))
        return true;
    if ((scheme == QLatin1String("postgresql") || scheme == QLatin1String("postgres")) &&
        u.isValid() && !u.host().isEmpty() && u.path().size() > 1 &&
        !u.path().mid(1).contains(QLatin1Char('/')))
        return true;
    why = QStringLiteral("\"%1\" names no database: give postgresql://USER@HOST[:PORT]/DATABASE "
                         "or sqlite:PATH")
              .arg(url);
    return false;
}

QString LabDatabase::where() const {
    if (url_.isEmpty())
        return defaultPath();
    QUrl u(url_);
    u.setPassword({});
    return u.toString();
}

bool LabDatabase::isOpen() const {
    return QSqlDatabase::contains(connection_) &&
           QSqlDatabase::database(connection_, false).isOpen();
}

bool LabDatabase::open(QString& why) {
    if (isOpen())
        return true;
    if (!validUrl(url_, why))
        return false;
    const QString driver = postgres_ ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        why = QStringLiteral("Qt's %1 driver is missing (%2)")
                  .arg(driver, postgres_ ? QStringLiteral("libqt6sql6-psql")
                                         : QStringLiteral("libqt6sql6-sqlite"));
        return false;
    }
    QSqlDatabase db = QSqlDatabase::contains(connection_)
                          ? QSqlDatabase::database(connection_, false)
                          : QSqlDatabase::addDatabase(driver, connection_);
    if (postgres_) {
        const QUrl u(url_);
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setUserName(u.userName());
        db.setPassword(u.password());
        db.setDatabaseName(u.path().mid(1));
        db.setConnectOptions(QStringLiteral("connect_timeout=3"));
    } else {
        const QString path = sqlitePath(url_);
        QDir().mkpath(QFileInfo(path).absolutePath());
        db.setDatabaseName(path);
        // Runs at once on one PC wait for each other's writes rather than fail them.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyMs_));
    }
    if (!db.open()) {
        why = QStringLiteral("Cannot reach the lab database %1: %2")
                  .arg(where(), db.lastError().text().trimmed());
        return false;
    }
    // SQLite: readers do not wait for a writer. PostgreSQL: its notices ("already exists,
    // skipping") are no business of the bench's terminal.
    if (!exec(postgres_ ? QStringLiteral("SET client_min_messages TO warning")
                        : QStringLiteral("PRAGMA journal_mode=WAL"),
              why)) {
        db.close();
        return false;
    }
    if (!migrate(why)) {
        db.close();
        return false;
    }
    return true;
}

bool LabDatabase::exec(const QString& sql, QString& why) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (q.exec(sql))
        return true;
    why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
    return false;
}

bool LabDatabase::ping(QString& why) {
    return exec(QStringLiteral("SELECT 1"), why);
}

bool LabDatabase::listen(QObject* context, std::function<void(const QString& card)> onRun) {
    if (!postgres_)
        return true;
    QSqlDriver* driver = QSqlDatabase::database(connection_, false).driver();
    if (!driver || !driver->subscribeToNotification(QLatin1String(kRunsChannel)))
        return false;
    QObject::connect(driver, &QSqlDriver::notification, context,
                     [onRun = std::move(onRun)](const QString& name, QSqlDriver::NotificationSource,
                                                const QVariant& payload) {
                         if (name == QLatin1String(kRunsChannel))
                             onRun(payload.toString());
                     });
    return true;
}
