// The lab's records: a checkpoint's cost on the loop's thread and the database's own write,
// and the auto walk's step lateness while the lab's database is stalled against a free one.
#include "Bench.h"
#include "Programs.h"

#include "lab/CardRun.h"
#include "lab/LabCourier.h"
#include "lab/LabDatabase.h"

#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>

#include "window/WindowTimer.h"

namespace bench {

namespace {

// The lab's queue of a child goes in a folder of its own, never the user's.
void ownDataFolder(const QTemporaryDir& dir) {
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
}

// The database's own write of a run's totals (its row and its sixteen relays, one
// transaction, on a file that already holds `runs` runs), as the courier makes it; and a
// checkpoint as the loop's thread makes it: the totals appended to the run's queue file and
// synced, then handed to the courier. The times of `writes` of each, in ms.
void childLabWrite(int runs, int writes) {
    QTemporaryDir dir;
    ownDataFolder(dir);
    const QString url = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("lab.sqlite"));
    LabDatabase db(url);
    QString why;
    if (!db.open(why) || !db.knowCard(QStringLiteral("B-1"), nullptr, why))
        return;
    LabDatabase::Run r;
    r.card = QStringLiteral("B-1");
    r.started = QDateTime::currentDateTimeUtc();
    r.ending = QStringLiteral("ended");
    for (int i = 0; i < runs; ++i) {
        r.uid = QStringLiteral("old-%1").arg(i);
        if (!db.writeRun(r, why))
            return;
    }
    r.uid = QStringLiteral("this");
    std::vector<double> write, checkpoint;
    for (int i = 0; i < writes; ++i) {
        r.relays[i % 16].closings += 1; // something new to write each time
        const std::int64_t t0 = nowNs();
        if (!db.writeRun(r, why))
            return;
        write.push_back(double(nowNs() - t0) / 1e6);
    }
    CardRun run(QStringLiteral("B-1"), 0, url);
    if (!run.start(QStringLiteral("sim"), {}, why))
        return;
    std::array<std::int64_t, 16> closings{};
    for (int i = 0; i < writes; ++i) {
        closings[i % 16] = 1;
        run.addClosings(closings);
        closings[i % 16] = 0;
        const std::int64_t t0 = nowNs();
        run.checkpoint();
        checkpoint.push_back(double(nowNs() - t0) / 1e6);
    }
    run.finish(QStringLiteral("ended"), true, 10000);
    LabCourier::instance().stop();
    report({{"median", percentile(write, 50)},
            {"p99", percentile(write, 99)},
            {"max", percentile(write, 100)},
            {"n", double(write.size())},
            {"cp_median", percentile(checkpoint, 50)},
            {"cp_p99", percentile(checkpoint, 99)},
            {"cp_max", percentile(checkpoint, 100)}});
}

// The auto walk at 20 ms on the window with its record and its card's records, on a clock
// that makes a minute of every real second, so that a checkpoint comes each second; with the
// lab's SQLite file locked by another program throughout ("locked") or free. Each step's
// lateness after its deadline, in µs, and the loops the run counted.
void childLabStall(const QString& side, int seconds) {
    QTemporaryDir dir;
    ownDataFolder(dir);
    const QString file = dir.filePath(QStringLiteral("lab.sqlite"));
    const QString url = QStringLiteral("sqlite:") + file;
    {
        LabDatabase db(url);
        QString why;
        if (!db.open(why))
            return;
    }
    QProcess holder;
    if (side == QLatin1String("locked")) {
        holder.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"),
                      QStringLiteral("import sqlite3, sys, time\n"
                                     "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                     "db.execute('BEGIN EXCLUSIVE')\n"
                                     "print('locked', flush=True)\n"
                                     "time.sleep(3600)\n"),
                      file});
        if (!holder.waitForReadyRead(30000))
            return;
    }
    Program p;
    const std::int64_t realStart = QDateTime::currentMSecsSinceEpoch();
    RunRecorder recorder(p.w->results(), [realStart] {
        return realStart + (QDateTime::currentMSecsSinceEpoch() - realStart) * 60;
    });
    QString why;
    recorder.startLog(dir.filePath(QStringLiteral("run.csv")), QStringLiteral("bench"), {}, why);
    CardRun run(QStringLiteral("B-2"), 0, url);
    run.watch(p.w->results());
    run.start(QStringLiteral("sim"), {}, why);
    int checkpoints = 0;
    QObject::connect(&recorder, &RunRecorder::checkpointed, [&] {
        run.checkpoint();
        ++checkpoints;
    });
    p.setSpeeds(20, 5);
    p.showAndWait();
    auto* step = p.w->findChild<WindowTimer*>(QStringLiteral("Timer1"));
    std::vector<double> us;
    QObject::connect(step, &WindowTimer::timeout,
                     [&] { us.push_back(double(nowNs() - step->deadlineNs()) / 1000.0); });
    p.w->autoCmd_Click();
    spin(seconds * 1000);
    p.w->autoCmd_Click();
    Result r = latenessStats(us);
    r["loops"] = double(p.w->results().loops());
    r["checkpoints"] = checkpoints;
    report(r);
    run.finish(QStringLiteral("ended"), true, 0);
    holder.kill();
    holder.waitForFinished();
    LabCourier::instance().stop();
}

} // namespace

const Measurement labWrite{
    "labwrite",
    "a checkpoint of the card's records on the loop's thread, and the database's own write",
    [](const QStringList& a) { childLabWrite(a.value(0).toInt(), a.value(1).toInt()); },
    [](bool quick) {
        const int runs = quick ? 100 : 10000;
        Child c = start({"labwrite", QString::number(runs), QString::number(quick ? 20 : 500)});
        Result r = finish(c);
        add("lab records: a checkpoint on the loop's thread (kept in the queue file, synced, "
            "handed to the courier), ms (median / p99 / max)",
            fmt(r["cp_median"], 2) + " / " + fmt(r["cp_p99"], 2) + " / " + fmt(r["cp_max"], 2), "",
            "", "no database wait: median ≤ 5 ms", r["cp_median"] <= 5);
        add("lab database: the courier's write on SQLite (a run and its 16 relays, one "
            "transaction, the file holding " +
                std::to_string(runs) + " runs), ms (median / p99 / max; n)",
            fmt(r["median"], 2) + " / " + fmt(r["p99"], 2) + " / " + fmt(r["max"], 2) + "; " +
                fmt(r["n"], 0),
            "", "", "a few ms: median ≤ 5 ms", r["median"] <= 5);
    }};

const Measurement labStall{
    "labstall", "the auto walk's step lateness with the lab's database locked, against free",
    [](const QStringList& a) { childLabStall(a.value(0), a.value(1).toInt()); },
    [](bool quick) {
        const int seconds = quick ? 3 : 30;
        Child locked = start({"labstall", "locked", QString::number(seconds)});
        const Result l = finish(locked);
        Child free = start({"labstall", "free", QString::number(seconds)});
        const Result f = finish(free);
        add("auto step lateness at 20 ms with a checkpoint each second, the lab's SQLite file "
            "locked by another program (vs free), µs (median / p99 / max)",
            fmt(l.at("median"), 0) + " / " + fmt(l.at("p99"), 0) + " / " + fmt(l.at("max"), 0),
            fmt(f.at("median"), 0) + " / " + fmt(f.at("p99"), 0) + " / " + fmt(f.at("max"), 0),
            ratio(l.at("p99"), f.at("p99")), "no step waits for the database: max < 20 ms",
            l.at("max") < 20000);
        add("loops counted in " + std::to_string(seconds) +
                " s at 20 ms, the lab's database "
                "locked (vs free; " +
                fmt(l.at("checkpoints"), 0) + " checkpoints)",
            fmt(l.at("loops"), 0), fmt(f.at("loops"), 0), ratio(l.at("loops"), f.at("loops")),
            "within 1 %", std::abs(l.at("loops") - f.at("loops")) <= 0.01 * f.at("loops"));
    }};

} // namespace bench
