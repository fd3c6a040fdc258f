#include "lab/LabDatabase.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUrl>
#include <QVariant>

namespace {

QAtomicInt g_connections;

QString timeText(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime timeOf(const QVariant& v) {
    return QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
}

// A text column's value: never NULL, which Qt binds for a null QString.
QVariant text(const QString& s) {
    return QVariant(s.isNull() ? QStringLiteral("") : s);
}

QString failure(const QSqlQuery& q) {
    return q.lastError().text().trimmed();
}

// The schema, version 1, in what both databases take; a run's id is its own per database.
QStringList schemaVersion1(bool postgres) {
    return {
        QStringLiteral("CREATE TABLE cards (id TEXT PRIMARY KEY, first_seen TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE runs (id %1 PRIMARY KEY, card TEXT NOT NULL REFERENCES "
                       "cards(id), host TEXT NOT NULL, device TEXT NOT NULL, started TEXT NOT "
                       "NULL, ended TEXT, ending TEXT NOT NULL, verdict TEXT NOT NULL, loops "
                       "BIGINT NOT NULL, errors BIGINT NOT NULL, log TEXT NOT NULL)")
            .arg(postgres ? QStringLiteral("BIGSERIAL") : QStringLiteral("INTEGER")),
        QStringLiteral("CREATE INDEX runs_by_card ON runs (card, started)"),
        QStringLiteral("CREATE TABLE run_relays (run BIGINT NOT NULL REFERENCES runs(id), relay "
                       "INTEGER NOT NULL, closings BIGINT NOT NULL, errors BIGINT NOT NULL, "
                       "PRIMARY KEY (run, relay))"),
    };
}

// Version 2: a run's identity of its own, so that a run written again replaces itself. Runs of
// version 1 have none, and keep what they hold.
QStringList schemaVersion2() {
    return {
        QStringLiteral("ALTER TABLE runs ADD COLUMN uid TEXT"),
        QStringLiteral("CREATE UNIQUE INDEX runs_by_uid ON runs (uid)"),
    };
}

// A diagnosis's nine time columns, in the order the figures and their least, median and worst
// are bound and read.
const QStringList& timeColumns() {
    static const QStringList columns = [] {
        QStringList out;
        for (const char* figure : {"operate", "release", "bounce"})
            for (const char* of : {"least", "median", "worst"})
                out << QStringLiteral("%1_%2").arg(QLatin1String(figure), QLatin1String(of));
        return out;
    }();
    return columns;
}

// Version 3: who tested, and every diagnosis's findings per relay with the limits they were
// judged by. Runs of before keep what they hold, with no operator named.
QStringList schemaVersion3() {
    QString times;
    for (const QString& column : timeColumns())
        times += column + QStringLiteral(" DOUBLE PRECISION, ");
    return {
        QStringLiteral("ALTER TABLE runs ADD COLUMN operator TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("CREATE TABLE run_limits (run BIGINT NOT NULL REFERENCES runs(id), name "
                       "TEXT NOT NULL, value DOUBLE PRECISION NOT NULL, PRIMARY KEY (run, name))"),
        QStringLiteral("CREATE TABLE run_diagnoses (run BIGINT NOT NULL REFERENCES runs(id), "
                       "relay INTEGER NOT NULL, class TEXT NOT NULL, %1bounces INTEGER NOT NULL, "
                       "operate_verdict TEXT NOT NULL, release_verdict TEXT NOT NULL, "
                       "bounce_verdict TEXT NOT NULL, bounces_verdict TEXT NOT NULL, verdict "
                       "TEXT NOT NULL, PRIMARY KEY (run, relay))")
            .arg(times),
    };
}

QVariant real(const std::optional<double>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType(QMetaType::Double));
}

std::optional<double> realOf(const QVariant& v) {
    if (v.isNull())
        return std::nullopt;
    return v.toDouble();
}

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

// Brings the schema up to date, in one place: every older version is taken from where it is.
bool LabDatabase::migrate(QString& why) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.transaction()) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), db.lastError().text());
        return false;
    }
    auto fail = [&] {
        db.rollback();
        return false;
    };
    // Two programs starting on a new database at once: one makes the schema, the other waits.
    if (postgres_ && !exec(QStringLiteral("SELECT pg_advisory_xact_lock(7402)"), why))
        return fail();
    if (!exec(QStringLiteral("CREATE TABLE IF NOT EXISTS looptest_schema (version INTEGER NOT "
                             "NULL)"),
              why))
        return fail();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT MAX(version) FROM looptest_schema"))) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
        return fail();
    }
    const int version = q.next() && !q.value(0).isNull() ? q.value(0).toInt() : 0;
    q.finish();
    if (version > kSchemaVersion) {
        refused_ = true;
        why = QStringLiteral("The lab database %1 is of schema version %2, newer than this "
                             "looptest's %3: use a newer looptest with it")
                  .arg(where())
                  .arg(version)
                  .arg(kSchemaVersion);
        return fail();
    }
    // Each version from the one before.
    const QStringList steps[] = {schemaVersion1(postgres_), schemaVersion2(), schemaVersion3()};
    for (int to = version + 1; to <= kSchemaVersion; ++to) {
        for (const QString& sql : steps[to - 1])
            if (!exec(sql, why))
                return fail();
        if (!exec(QStringLiteral("INSERT INTO looptest_schema (version) VALUES (%1)").arg(to), why))
            return fail();
    }
    if (!db.commit()) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), db.lastError().text());
        return fail();
    }
    return true;
}

bool LabDatabase::knowCard(const QString& card, const Run* takenIn, QString& why) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.transaction()) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), db.lastError().text());
        return false;
    }
    auto fail = [&](const QSqlQuery& q) {
        if (why.isEmpty())
            why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
        db.rollback();
        return false;
    };
    why.clear();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO cards (id, first_seen) VALUES (?, ?) ON CONFLICT (id) "
                             "DO NOTHING"));
    q.addBindValue(card);
    q.addBindValue(timeText(takenIn && takenIn->started.isValid()
                                ? takenIn->started
                                : QDateTime::currentDateTimeUtc()));
    if (!q.exec())
        return fail(q);
    // The card is new here: what was kept of it before is taken in, once.
    if (q.numRowsAffected() == 1 && takenIn) {
        Run run = *takenIn;
        if (!writeRun(run, why))
            return fail(q);
    }
    if (!db.commit()) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), db.lastError().text());
        return false;
    }
    return true;
}

bool LabDatabase::writeRun(Run& run, QString& why) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    // Inside knowCard's transaction, or a transaction of its own.
    const bool own = db.transaction();
    auto fail = [&](const QSqlQuery& q) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
        if (own)
            db.rollback();
        return false;
    };
    if (run.uid.isEmpty()) {
        why = QStringLiteral("The lab database %1: a run without an identity is not written")
                  .arg(where());
        if (own)
            db.rollback();
        return false;
    }
    // Added the first time, its fields replaced after: the same run written twice is one run.
    QSqlQuery q(db);
    q.prepare(QStringLiteral(
        "INSERT INTO runs (uid, card, host, device, started, ended, ending, verdict, loops, "
        "errors, log, operator) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (uid) DO "
        "UPDATE SET card = excluded.card, host = excluded.host, device = excluded.device, "
        "started = excluded.started, ended = excluded.ended, ending = excluded.ending, verdict = "
        "excluded.verdict, loops = excluded.loops, errors = excluded.errors, log = excluded.log, "
        "operator = excluded.operator RETURNING id"));
    for (const QVariant& v : {text(run.uid), text(run.card), text(run.host), text(run.device),
                              text(timeText(run.started)),
                              run.ended.isValid() ? QVariant(timeText(run.ended)) : QVariant(),
                              text(run.ending), text(run.verdict), QVariant(qint64(run.loops)),
                              QVariant(qint64(run.errors)), text(run.log), text(run.operatorName)})
        q.addBindValue(v);
    if (!q.exec() || !q.next())
        return fail(q);
    run.id = q.value(0).toLongLong();
    q.finish(); // SQLite commits no transaction while a statement is still open
    QSqlQuery relay(db);
    relay.prepare(QStringLiteral("INSERT INTO run_relays (run, relay, closings, errors) VALUES "
                                 "(?, ?, ?, ?) ON CONFLICT (run, relay) DO UPDATE SET closings = "
                                 "excluded.closings, errors = excluded.errors"));
    for (int r = 0; r < 16; ++r) {
        relay.addBindValue(run.id);
        relay.addBindValue(r);
        relay.addBindValue(qint64(run.relays[r].closings));
        relay.addBindValue(qint64(run.relays[r].errors));
        if (!relay.exec())
            return fail(relay);
    }
    if (run.diagnosis && !writeDiagnosis(run.id, *run.diagnosis, why)) {
        if (own)
            db.rollback();
        return false;
    }
    if (own && !db.commit()) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), db.lastError().text());
        return false;
    }
    return true;
}

bool LabDatabase::writeDiagnosis(qint64 run, const Diagnosis& d, QString& why) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    auto fail = [&](const QSqlQuery& q) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
        return false;
    };
    QSqlQuery limit(db);
    limit.prepare(QStringLiteral("INSERT INTO run_limits (run, name, value) VALUES (?, ?, ?) ON "
                                 "CONFLICT (run, name) DO UPDATE SET value = excluded.value"));
    for (const auto& [name, value] : d.limits) {
        limit.addBindValue(run);
        limit.addBindValue(name);
        limit.addBindValue(value);
        if (!limit.exec())
            return fail(limit);
    }
    QString columns, marks, updates;
    for (const QString& column : timeColumns()) {
        columns += column + QStringLiteral(", ");
        marks += QStringLiteral("?, ");
        updates += QStringLiteral("%1 = excluded.%1, ").arg(column);
    }
    QSqlQuery relay(db);
    relay.prepare(
        QStringLiteral("INSERT INTO run_diagnoses (run, relay, class, %1bounces, operate_verdict, "
                       "release_verdict, bounce_verdict, bounces_verdict, verdict) VALUES (?, ?, "
                       "?, %2?, ?, ?, ?, ?, ?) ON CONFLICT (run, relay) DO UPDATE SET class = "
                       "excluded.class, %3bounces = excluded.bounces, operate_verdict = "
                       "excluded.operate_verdict, release_verdict = excluded.release_verdict, "
                       "bounce_verdict = excluded.bounce_verdict, bounces_verdict = "
                       "excluded.bounces_verdict, verdict = excluded.verdict")
            .arg(columns, marks, updates));
    for (int r = 0; r < 16; ++r) {
        const RelayFindings& f = d.relays[r];
        relay.addBindValue(run);
        relay.addBindValue(r);
        relay.addBindValue(text(f.kind));
        for (const Times* t : {&f.operate, &f.release, &f.bounce})
            for (const std::optional<double>* v : {&t->least, &t->median, &t->worst})
                relay.addBindValue(real(*v));
        relay.addBindValue(f.bounces);
        for (const QString* v : {&f.operateVerdict, &f.releaseVerdict, &f.bounceVerdict,
                                 &f.bouncesVerdict, &f.verdict})
            relay.addBindValue(text(*v));
        if (!relay.exec())
            return fail(relay);
    }
    return true;
}

bool LabDatabase::history(const QString& card, int lastRuns, History& out, bool& known,
                          QString& why) {
    out = {};
    out.card = card;
    known = false;
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    auto fail = [&] {
        why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
        return false;
    };
    q.prepare(QStringLiteral("SELECT first_seen, (SELECT COUNT(*) FROM runs WHERE card = ?) FROM "
                             "cards WHERE id = ?"));
    q.addBindValue(card);
    q.addBindValue(card);
    if (!q.exec())
        return fail();
    if (!q.next())
        return true;
    known = true;
    out.firstSeen = timeOf(q.value(0));
    out.runs = q.value(1).toLongLong();
    q.prepare(QStringLiteral("SELECT rr.relay, SUM(rr.closings), SUM(rr.errors) FROM run_relays "
                             "rr JOIN runs ON runs.id = rr.run WHERE runs.card = ? GROUP BY "
                             "rr.relay"));
    q.addBindValue(card);
    if (!q.exec())
        return fail();
    while (q.next()) {
        const int r = q.value(0).toInt();
        if (r >= 0 && r < 16)
            out.relays[r] = {q.value(1).toLongLong(), q.value(2).toLongLong()};
    }
    q.prepare(QStringLiteral("SELECT id, host, device, started, ended, ending, verdict, loops, "
                             "errors, log, operator FROM runs WHERE card = ? ORDER BY started "
                             "DESC, id DESC LIMIT ?"));
    q.addBindValue(card);
    q.addBindValue(lastRuns);
    if (!q.exec())
        return fail();
    while (q.next()) {
        Run run;
        run.id = q.value(0).toLongLong();
        run.card = card;
        run.host = q.value(1).toString();
        run.device = q.value(2).toString();
        run.started = timeOf(q.value(3));
        run.ended = timeOf(q.value(4));
        run.ending = q.value(5).toString();
        run.verdict = q.value(6).toString();
        run.loops = q.value(7).toLongLong();
        run.errors = q.value(8).toLongLong();
        run.log = q.value(9).toString();
        run.operatorName = q.value(10).toString();
        out.lastRuns.push_back(run);
    }
    return diagnoses(card, out, why);
}

bool LabDatabase::diagnoses(const QString& card, History& out, QString& why) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    QString times;
    for (const QString& column : timeColumns())
        times += QStringLiteral("d.%1, ").arg(column);
    q.prepare(QStringLiteral("SELECT runs.id, runs.started, d.relay, d.class, %1d.bounces, "
                             "d.operate_verdict, d.release_verdict, d.bounce_verdict, "
                             "d.bounces_verdict, d.verdict FROM run_diagnoses d JOIN runs ON "
                             "runs.id = d.run WHERE runs.card = ? ORDER BY runs.started, runs.id, "
                             "d.relay")
                  .arg(times));
    q.addBindValue(card);
    if (!q.exec()) {
        why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
        return false;
    }
    qint64 lastRun = -1;
    while (q.next()) {
        if (q.value(0).toLongLong() != lastRun) {
            lastRun = q.value(0).toLongLong();
            out.diagnoses.push_back({timeOf(q.value(1)), {}});
        }
        const int r = q.value(2).toInt();
        if (r < 0 || r >= 16)
            continue;
        RelayFindings& f = out.diagnoses.back().relays[r];
        f.kind = q.value(3).toString();
        int column = 4;
        for (Times* t : {&f.operate, &f.release, &f.bounce})
            for (std::optional<double>* v : {&t->least, &t->median, &t->worst})
                *v = realOf(q.value(column++));
        f.bounces = q.value(column++).toInt();
        for (QString* v : {&f.operateVerdict, &f.releaseVerdict, &f.bounceVerdict,
                           &f.bouncesVerdict, &f.verdict})
            *v = q.value(column++).toString();
    }
    return true;
}
