// The lab's records: a checkpoint's cost on the loop's thread and the database's own write,
// the auto walk's step lateness while the lab's database is stalled against a free one; and
// the lab window's lists on a lab of hundreds of cards; a diagnosis from the lab window against
// --diagnose.
#include "Bench.h"
#include "Programs.h"

#include "diagnosis/Reports.h"
#include "lab/CardRun.h"
#include "lab/LabCourier.h"
#include "lab/LabDatabase.h"

#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>

#include "labwindow/DiagnosePanel.h"
#include "labwindow/LabWindow.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTableView>

#include <algorithm>
#include <limits>
#include <memory>

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
// lateness (against the schedule its most punctual step keeps), in µs, and the loops counted.
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
    // Each step as its handler ends, as the window tells it; its lateness against the
    // schedule of 20 ms steps that the most punctual step keeps.
    std::vector<std::int64_t> at;
    QObject::connect(p.w.get(), &LoopTest::handled, [&](LoopTest::Event e) {
        if (e == LoopTest::Event::Step)
            at.push_back(nowNs());
    });
    p.w->autoCmd_Click();
    spin(seconds * 1000);
    p.w->autoCmd_Click();
    constexpr std::int64_t kPeriodNs = 20'000'000;
    std::int64_t origin = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = 0; k < at.size(); ++k)
        origin = std::min(origin, at[k] - std::int64_t(k) * kPeriodNs);
    std::vector<double> us;
    for (std::size_t k = 0; k < at.size(); ++k)
        us.push_back(double(at[k] - std::int64_t(k) * kPeriodNs - origin) / 1000.0);
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

namespace bench {

namespace {

// A lab database of cards, runs and diagnoses as bench/make_lab.py fills it; its first card.
QString makeLab(const QTemporaryDir& dir, int cards, int runs, int diagnoses) {
    const QString file = dir.filePath(QStringLiteral("lab.sqlite"));
    const QString url = QStringLiteral("sqlite:") + file;
    { // the program makes the schema
        LabDatabase db(url);
        QString why;
        if (!db.open(why))
            return {};
    }
    QProcess fill;
    fill.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral(LOOPTEST_SOURCE "/bench/make_lab.py"), file, QString::number(cards),
                QString::number(runs), QString::number(diagnoses)});
    if (!fill.waitForFinished(600000) || fill.exitCode() != 0)
        return {};
    return QString::fromUtf8(fill.readAllStandardOutput()).trimmed();
}

// The lab window on such a database: from its making until its cards list shows every card,
// and from a card's ID entered until its view (charts drawn) shows; opened `opens` times
// anew. And --card-history on the same card, as the program runs it.
void childLabWindow(int cards, int runs, int diagnoses, int opens) {
    QTemporaryDir dir;
    ownDataFolder(dir);
    const QString first = makeLab(dir, cards, runs, diagnoses);
    if (first.isEmpty())
        return;
    const QString url = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("lab.sqlite"));
    std::vector<double> list, card, history;
    for (int i = 0; i < opens; ++i) {
        const std::int64_t t0 = nowNs();
        auto window = std::make_unique<LabWindow>(url, Limits{});
        window->show();
        auto* table = window->findChild<QTableView*>(QStringLiteral("cards"));
        while (table->model()->rowCount() < cards && nowNs() - t0 < 60'000'000'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        QCoreApplication::processEvents(); // laid out and painted
        list.push_back(double(nowNs() - t0) / 1e6);
        bool shown = false;
        QObject::connect(&window->reader(), &LabReader::cardRead, window.get(),
                         [&] { shown = true; });
        const std::int64_t t1 = nowNs();
        window->openCard(first);
        while (!shown && nowNs() - t1 < 60'000'000'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        QCoreApplication::processEvents();
        card.push_back(double(nowNs() - t1) / 1e6);
        window.reset();
        QProcess p;
        const std::int64_t t2 = nowNs();
        p.start(QStringLiteral(LOOPTEST_PROGRAM),
                {QStringLiteral("--card-history"), first, QStringLiteral("--lab-db"), url});
        p.waitForFinished(60000);
        history.push_back(double(nowNs() - t2) / 1e6);
    }
    report({{"list", percentile(list, 50)},
            {"card", percentile(card, 50)},
            {"history", percentile(history, 50)},
            {"opens", double(opens)}});
}

} // namespace

const Measurement labWindow{
    "labwindow", "the lab window's cards list and a card's view, against --card-history",
    [](const QStringList& a) {
        childLabWindow(a.value(0).toInt(), a.value(1).toInt(), a.value(2).toInt(),
                       a.value(3).toInt());
    },
    [](bool quick) {
        const int cards = quick ? 50 : 500, runs = quick ? 2000 : 20000,
                  diagnoses = quick ? 200 : 2000, opens = quick ? 2 : 7;
        Child c = start({"labwindow", QString::number(cards), QString::number(runs),
                         QString::number(diagnoses), QString::number(opens)});
        const Result r = finish(c);
        const std::string lab = std::to_string(cards) + " cards, " + std::to_string(runs) +
                                " runs, " + std::to_string(diagnoses) + " diagnoses";
        add("lab window on SQLite (" + lab + "): its cards list ready, ms (median of " +
                std::to_string(opens) + " opens; vs --card-history of one card, whole program)",
            fmt(r.at("list"), 0), fmt(r.at("history"), 0), ratio(r.at("list"), r.at("history")),
            "≤ 300 ms", r.at("list") <= 300);
        add("lab window: a card's view ready, its charts drawn, ms (median; vs --card-history)",
            fmt(r.at("card"), 0), fmt(r.at("history"), 0), ratio(r.at("card"), r.at("history")),
            "≤ 200 ms", r.at("card") <= 200);
    }};

namespace {

constexpr const char* kSlowCard = "sim:slow=4,12";

// Relay 4's operate median and the longest gap between samples of a diagnosis in JSON.
std::pair<double, double> slowRelay(const QJsonObject& d) {
    return {d[QStringLiteral("channels")]
                .toArray()[4][QStringLiteral("operate_ms")][QStringLiteral("median")]
                .toDouble(),
            d[QStringLiteral("longest_gap_ms")].toDouble()};
}

// The same simulated card diagnosed `times` times from the lab window's Diagnosis tab (from
// Enter to its outcome shown) and by --diagnose (the whole program, its JSON written), both
// keeping the card's book in a lab database of their own.
void childDiagnoseWindow(int times) {
    QTemporaryDir dir;
    ownDataFolder(dir);
    Options options;
    options.labDb = "sqlite:" + dir.filePath(QStringLiteral("lab.sqlite")).toStdString();
    options.noLog = true;
    options.operatorName = "bench";
    DiagnosePanel panel(options);
    panel.show();
    std::vector<double> window, command, windowMs, commandMs, gaps;
    for (int i = 0; i < times; ++i) {
        for (QLineEdit* field : panel.findChildren<QLineEdit*>())
            if (field->accessibleName() == QLatin1String("Device"))
                field->setText(QLatin1String(kSlowCard));
        panel.prepare(QStringLiteral("BENCH-%1").arg(i));
        const std::int64_t t0 = nowNs();
        if (!panel.start())
            return;
        while (panel.running() && nowNs() - t0 < 120'000'000'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        QCoreApplication::processEvents(); // the outcome painted
        window.push_back(double(nowNs() - t0) / 1e6);
        if (!panel.report())
            return;
        const auto [ms, gap] =
            slowRelay(QJsonDocument::fromJson(diagnosisJson(*panel.report()).toUtf8()).object());
        windowMs.push_back(ms);
        gaps.push_back(gap);

        const QString json = dir.filePath(QStringLiteral("cli.json"));
        QProcess p;
        const std::int64_t t1 = nowNs();
        p.start(QStringLiteral(LOOPTEST_PROGRAM),
                {QStringLiteral("--diagnose"), QStringLiteral("--device"), QLatin1String(kSlowCard),
                 QStringLiteral("--card"), QStringLiteral("BENCH-%1").arg(i),
                 QStringLiteral("--no-log"), QStringLiteral("--lab-db"),
                 QString::fromStdString(options.labDb), QStringLiteral("--json"), json});
        p.waitForFinished(120000);
        command.push_back(double(nowNs() - t1) / 1e6);
        QFile f(json);
        if (!f.open(QIODevice::ReadOnly))
            return;
        const auto [cms, cgap] = slowRelay(QJsonDocument::fromJson(f.readAll()).object());
        commandMs.push_back(cms);
        gaps.push_back(cgap);
    }
    double apart = 0;
    for (int i = 0; i < times; ++i)
        apart = std::max(apart, std::abs(windowMs[i] - commandMs[i]));
    report({{"window", percentile(window, 50)},
            {"command", percentile(command, 50)},
            {"window_r4", percentile(windowMs, 50)},
            {"command_r4", percentile(commandMs, 50)},
            {"apart", apart},
            {"gap", *std::max_element(gaps.begin(), gaps.end())},
            {"times", double(times)}});
}

} // namespace

const Measurement diagnoseWindow{
    "diagnosewindow", "a diagnosis from the lab window against --diagnose on the same card",
    [](const QStringList& a) { childDiagnoseWindow(a.value(0).toInt()); },
    [](bool quick) {
        const int times = quick ? 1 : 5;
        Child c = start({"diagnosewindow", QString::number(times)});
        const Result r = finish(c);
        add(std::string("diagnosis of ") + kSlowCard +
                " from the lab window (Enter to its outcome) vs --diagnose (whole program): ms, "
                "and relay 4's operate median, ms (median of " +
                std::to_string(times) + ")",
            fmt(r.at("window"), 0) + " (R4 " + fmt(r.at("window_r4"), 3) + ")",
            fmt(r.at("command"), 0) + " (R4 " + fmt(r.at("command_r4"), 3) + ")",
            ratio(r.at("window"), r.at("command")),
            "figures apart ≤ the longest gap between samples (" + fmt(r.at("gap"), 3) + " ms)",
            r.at("apart") <= r.at("gap") + 0.001);
    }};

} // namespace bench
