#include "lab/LabDatabase.h"

#include "lab/LabSql.h"

#include <QSqlDatabase>

using namespace labsql;

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
    // Those that listen (the lab window on any PC) hear of the run when it commits.
    if (postgres_) {
        QSqlQuery notify(db);
        notify.prepare(QStringLiteral("SELECT pg_notify(?, ?)"));
        notify.addBindValue(QLatin1String(kRunsChannel));
        notify.addBindValue(run.card);
        if (!notify.exec())
            return fail(notify);
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
