#include "lab/LabDatabase.h"

#include "lab/LabSql.h"

#include <QSqlDatabase>

#include <map>

using namespace labsql;

// One way to read the lab, for a card or for all of them: the cards with their runs' count,
// each card's sums per relay, its newest runs, and its diagnoses, in four queries whatever the
// number of cards. A card filter binds the same value in each.
bool LabDatabase::readHistories(const QString* card, int lastRuns, std::vector<History>& out,
                                QString& why) {
    out.clear();
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    auto run = [&](const QString& sql, const QVariantList& values) {
        q.prepare(sql);
        for (const QVariant& v : values)
            q.addBindValue(v);
        if (q.exec())
            return true;
        why = QStringLiteral("The lab database %1: %2").arg(where(), failure(q));
        return false;
    };
    auto only = [card](const char* column) {
        return card ? QStringLiteral(" WHERE %1 = ?").arg(QLatin1String(column)) : QString();
    };
    const QVariantList filtered = card ? QVariantList{*card} : QVariantList{};

    std::map<QString, std::size_t> index;
    if (!run(QStringLiteral("SELECT cards.id, cards.first_seen, COUNT(runs.id) FROM cards LEFT "
                            "JOIN runs ON runs.card = cards.id%1 GROUP BY cards.id, "
                            "cards.first_seen ORDER BY cards.id")
                 .arg(only("cards.id")),
             filtered))
        return false;
    while (q.next()) {
        History h;
        h.card = q.value(0).toString();
        h.firstSeen = timeOf(q.value(1));
        h.runs = q.value(2).toLongLong();
        index.emplace(h.card, out.size());
        out.push_back(std::move(h));
    }
    auto of = [&](const QVariant& v) -> History* {
        const auto it = index.find(v.toString());
        return it == index.end() ? nullptr : &out[it->second];
    };

    if (!run(QStringLiteral("SELECT runs.card, rr.relay, SUM(rr.closings), SUM(rr.errors) FROM "
                            "run_relays rr JOIN runs ON runs.id = rr.run%1 GROUP BY runs.card, "
                            "rr.relay")
                 .arg(only("runs.card")),
             filtered))
        return false;
    while (q.next()) {
        const int r = q.value(1).toInt();
        if (History* h = of(q.value(0)); h && r >= 0 && r < 16)
            h->relays[r] = {q.value(2).toLongLong(), q.value(3).toLongLong()};
    }

    if (!run(QStringLiteral("SELECT id, card, host, device, started, ended, ending, verdict, "
                            "loops, errors, log, operator FROM (SELECT runs.*, ROW_NUMBER() OVER "
                            "(PARTITION BY card ORDER BY started DESC, id DESC) AS newest FROM "
                            "runs%1) numbered WHERE newest <= ? ORDER BY card, newest")
                 .arg(only("card")),
             filtered + QVariantList{lastRuns}))
        return false;
    while (q.next()) {
        History* h = of(q.value(1));
        if (!h)
            continue;
        Run r;
        r.id = q.value(0).toLongLong();
        r.card = h->card;
        r.host = q.value(2).toString();
        r.device = q.value(3).toString();
        r.started = timeOf(q.value(4));
        r.ended = timeOf(q.value(5));
        r.ending = q.value(6).toString();
        r.verdict = q.value(7).toString();
        r.loops = q.value(8).toLongLong();
        r.errors = q.value(9).toLongLong();
        r.log = q.value(10).toString();
        r.operatorName = q.value(11).toString();
        h->lastRuns.push_back(std::move(r));
    }

    QString times;
    for (const QString& column : timeColumns())
        times += QStringLiteral("d.%1, ").arg(column);
    if (!run(QStringLiteral("SELECT runs.card, runs.id, runs.started, d.relay, d.class, "
                            "%1d.bounces, d.operate_verdict, d.release_verdict, "
                            "d.bounce_verdict, d.bounces_verdict, d.verdict FROM run_diagnoses d "
                            "JOIN runs ON runs.id = d.run%2 ORDER BY runs.card, runs.started, "
                            "runs.id, d.relay")
                 .arg(times, only("runs.card")),
             filtered))
        return false;
    History* h = nullptr;
    qint64 lastRun = -1;
    while (q.next()) {
        if (!h || h->card != q.value(0).toString()) {
            h = of(q.value(0));
            lastRun = -1;
        }
        if (!h)
            continue;
        if (q.value(1).toLongLong() != lastRun) {
            lastRun = q.value(1).toLongLong();
            h->diagnoses.push_back({timeOf(q.value(2)), {}});
        }
        const int r = q.value(3).toInt();
        if (r < 0 || r >= 16)
            continue;
        RelayFindings& f = h->diagnoses.back().relays[r];
        f.kind = q.value(4).toString();
        int column = 5;
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

bool LabDatabase::history(const QString& card, int lastRuns, History& out, bool& known,
                          QString& why) {
    out = {};
    out.card = card;
    std::vector<History> read;
    if (!readHistories(&card, lastRuns, read, why))
        return false;
    known = !read.empty();
    if (known)
        out = std::move(read.front());
    return true;
}

bool LabDatabase::histories(int lastRuns, std::vector<History>& out, QString& why) {
    return readHistories(nullptr, lastRuns, out, why);
}
