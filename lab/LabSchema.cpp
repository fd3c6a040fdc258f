#include "lab/LabDatabase.h"

#include "lab/LabSql.h"

#include <QSqlDatabase>

using namespace labsql;

namespace {

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

} // namespace

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
