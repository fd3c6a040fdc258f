// A lab's view: a card's book over runs and across a crash, and the metrics as Prometheus'
// own parser and Debian's node exporter read them.
#include "card/simulator/LoopbackSimulator.h"
#include "lab/CardRun.h"
#include "lab/LabCourier.h"
#include "lab/LabDatabase.h"
#include "lab/LabQueue.h"
#include "looptest/LoopTest.h"
#include "runlog/RunRecorder.h"
#include "support/FreePort.h"
#include "support/MetricsReader.h"
#include "support/ModalAnswerer.h"
#include "support/Postgres.h"
#include "support/Program.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <mutex>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Relay r's errors in the program's table.
std::int64_t errorsOf(const QString& table, int relay) {
    for (const QString& line : table.split(QLatin1Char('\n'))) {
        const QStringList f = line.simplified().split(QLatin1Char(' '));
        if (f.size() == 3 && f[0] == QString::number(relay))
            return f[2].toLongLong();
    }
    return -1;
}

struct SimCard : CardControl {
    LoopbackSimulator sim{SimulatorFault{SimulatorFault::Kind::RelayNeverCloses, 3}};
    bool SelectDevice() override { return true; }
    void setActive(bool) override {}
    bool ReadPort(std::int32_t p, std::int16_t& d) override { return sim.read(p, d); }
    bool WritePort(std::int32_t p, std::int16_t d) override { return sim.write(p, d); }
};

// The window on the simulator with its record, on a clock the test moves: an auto walk of
// 20 ms steps passes its minute marks as the program's would.
struct Rig {
    qint64 nowMs = 1'800'000'000'000;
    SimCard card;
    LoopTest w{card};
    RunRecorder recorder{w.results(), [this] { return nowMs; }};
    Rig() {
        ModalAnswerer answerer;
        w.Form_Load();
    }
    void walk(int steps) {
        w.autoCmd_Click();
        for (int step = 0; step < steps; ++step) {
            w.Timer1_Timer();
            w.getTimer_Timer();
            nowMs += 20;
        }
    }
};

} // namespace

class TstLab : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void twoRunsAtOnceAddUpOnSqlite();
    void aLabOfManyOnPostgresql();
    void aCrashLosesNoMoreThanTheLastMinute();
    void oldBooksAndNewerSchemas();
    void aCheckpointIsWrittenWholeOrNotAtAll();
    void aLockedDatabaseHoldsUpNoCheckpoint();
    void theQueueIsDeliveredAsFarAsItIsWholeAndOnce();
    void aQueueFileComesIntoTheQueueLocked();
    void recordsThatCannotGoWaitAndThenGoByThemselves();
    void aDatabaseOfTheFirstSchemaKeepsEverything();
    void aRelayPastItsRatedLifeIsToldOnce();
    void aDiagnosisAddsItsClosingsToTheBook();
    void theMetricsAsPrometheusReadsThem();

private:
    QTemporaryDir dir_;
};

namespace {

// A card's book as --card-history prints it: per relay closings and errors, and the hosts of
// its last runs.
struct Book {
    std::array<std::int64_t, 16> closings{}, errors{};
    std::int64_t runs = 0;
    QStringList hosts, operators;
    QStringList endings; // of its last runs, newest first: "ending verdict"
};
Book bookOf(const QString& history) {
    Book b;
    bool runsPart = false;
    for (const QString& line : history.split(QLatin1Char('\n'))) {
        const QStringList f = line.simplified().split(QLatin1Char(' '));
        if (line.startsWith(QLatin1String("card ")))
            b.runs = f.value(2).toLongLong();
        else if (line.startsWith(QLatin1String("last runs")))
            runsPart = true;
        else if (runsPart && f.size() >= 8 && f[0].size() == 10)
            b.hosts << f[2], b.operators << f[3], b.endings << f[4] + QLatin1Char(' ') + f[5];
        else if (!runsPart && f.size() == 5 && f[4].endsWith(QLatin1Char('%')) &&
                 f[0] != QLatin1String("relay"))
            b.closings[f[0].toInt()] = f[1].toLongLong(),
            b.errors[f[0].toInt()] = f[2].toLongLong();
    }
    b.hosts.sort();
    return b;
}

// The totals a run's log ends with: relay r's errors, and the loop count.
std::array<std::int64_t, 17> logTotals(const QString& path) {
    std::array<std::int64_t, 17> t{};
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> c = line.trimmed().split(',');
        if (c.value(2) == "total")
            t[c[3].isEmpty() ? 16 : c[3].toInt()] = c[6].toLongLong();
    }
    return t;
}

// Two headless runs at once on one card, each on its own "PC", sharing a database: the card's
// book is the sum of both runs, errors as their logs count them and closings as their metrics
// do, and its last runs name both PCs. A step that comes before a late read-back restarts it,
// so a busy machine closes relays more often than it counts loops, never less.
void twoRunsAtOnceAddUp(const QTemporaryDir& dir, const QString& url) {
    std::array<std::unique_ptr<QProcess>, 2> runs;
    for (int i = 0; i < 2; ++i) {
        runs[i] = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("LOOPTEST_HOSTNAME"), QStringLiteral("pc-%1").arg(i));
        runs[i]->setProcessEnvironment(env);
        QStringList args{QStringLiteral("--headless"),
                         QStringLiteral("--device=sim:relay-never-closes=3+intermittent=9,40"),
                         QStringLiteral("--loops=%1").arg(96 + 32 * i),
                         QStringLiteral("--step=20"),
                         QStringLiteral("--card=LT-7"),
                         QStringLiteral("--log"),
                         dir.filePath(QStringLiteral("run%1.csv").arg(i)),
                         QStringLiteral("--metrics"),
                         dir.filePath(QStringLiteral("run%1.prom").arg(i))};
        if (!url.isEmpty())
            args << QStringLiteral("--lab-db") << url;
        runs[i]->start(QStringLiteral(LOOPTEST_PROGRAM), args);
    }
    std::array<std::int64_t, 17> sum{};
    std::array<std::int64_t, 16> closed{};
    for (int i = 0; i < 2; ++i) {
        QVERIFY(runs[i]->waitForFinished(60000));
        QCOMPARE(runs[i]->exitCode(), 1);
        const auto t = logTotals(dir.filePath(QStringLiteral("run%1.csv").arg(i)));
        for (int k = 0; k < 17; ++k)
            sum[k] += t[k];
        const auto c = closingsOf(dir.filePath(QStringLiteral("run%1.prom").arg(i)));
        for (int r = 0; r < 16; ++r) {
            QVERIFY(c[r] >= 0);
            closed[r] += c[r];
        }
    }
    QStringList args{QStringLiteral("--card-history=LT-7")};
    if (!url.isEmpty())
        args << QStringLiteral("--lab-db") << url;
    const Program history = run(dir, args);
    QCOMPARE(history.status, 0);
    const Book book = bookOf(history.out);
    QCOMPARE(book.runs, 2);
    QCOMPARE(book.hosts, QStringList({QStringLiteral("pc-0"), QStringLiteral("pc-1")}));
    QCOMPARE(book.endings, QStringList(2, QStringLiteral("ended fail")));
    std::int64_t closings = 0;
    for (int r = 0; r < 16; ++r) {
        QCOMPARE(book.errors[r], sum[r]);
        QCOMPARE(book.closings[r], closed[r]);
        closings += book.closings[r];
    }
    QVERIFY(sum[3] > 0 && sum[9] > 0);
    QVERIFY2(closings >= sum[16], qPrintable(QStringLiteral("%1 closings, %2 loops")
                                                 .arg(closings)
                                                 .arg(sum[16]))); // each step closes one relay
}

} // namespace

void TstLab::twoRunsAtOnceAddUpOnSqlite() {
    QTemporaryDir dir;
    twoRunsAtOnceAddUp(dir, {});
    QCOMPARE(run(dir, {QStringLiteral("--card-history=LT-8")}).status, 66); // unknown
}

// The same on a PostgreSQL server the test starts; and a run that cannot reach it goes on, says
// so once on stderr and in its log, and writes all it counted once the server is back.
void TstLab::aLabOfManyOnPostgresql() {
    PostgresServer server;
    if (!server.start()) {
        // The set-up installs the server: in CI one that cannot start is a failure.
        if (!qEnvironmentVariableIsEmpty("CI"))
            QFAIL(qPrintable(server.why));
        QSKIP(qPrintable(server.why));
    }
    QTemporaryDir dir;
    twoRunsAtOnceAddUp(dir, server.url());

    // A run whose server goes away: it goes on, says so once, and its records wait on this
    // PC; the next start of the program, whatever it does, delivers them, once.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    Rig rig;
    LoopTest& w = rig.w;
    RunRecorder& recorder = rig.recorder;
    CardRun keeper(QStringLiteral("LT-20"), 0, server.url());
    keeper.watch(w.results());
    QStringList warnings;
    keeper.onWarning = [&](const QString& why) { warnings << why; };
    int marks = 0;
    QObject::connect(&recorder, &RunRecorder::checkpointed, [&] {
        keeper.checkpoint();
        ++marks;
    });
    QString why;
    QVERIFY2(keeper.start(QStringLiteral("sim"), {}, why), qPrintable(why));
    rig.walk(3100); // a simulated minute: a checkpoint, delivered
    QCOMPARE(marks, 1);
    QVERIFY(LabCourier::instance().waitDelivered(keeper.queueFile(), 2, 60000));
    server.stop();
    rig.walk(6000); // two more, the server down
    QCOMPARE(marks, 3);
    QTRY_VERIFY_WITH_TIMEOUT(!LabCourier::instance().status(keeper.queueFile()).failure.isEmpty(),
                             60000);
    keeper.finish(QStringLiteral("ended"), false, 0);
    QCOMPARE(warnings.count(), 2);
    QVERIFY2(warnings[0].contains(server.url()) &&
                 warnings[0].contains(QLatin1String("kept on this PC")),
             qPrintable(warnings[0]));
    QVERIFY2(warnings[1].contains(QLatin1String("wait on this PC in ")), qPrintable(warnings[1]));
    const QString waiting = keeper.queueFile();
    QVERIFY(QFile::exists(waiting));
    const auto left = labqueue::read(waiting);
    QVERIFY(left.last && left.damage.isEmpty());
    QCOMPARE(left.last->run.relays[3].errors, w.results().errors(3));
    QCOMPARE(left.last->run.loops, w.results().loops());
    const Program down = run(dir, {QStringLiteral("--lab-sync")});
    QCOMPARE(down.status, 69);
    QVERIFY2(down.err.contains(QLatin1String("1 still wait")), qPrintable(down.err));
    QVERIFY(server.restart());
    // Any start of the program: here a summary of another run's log.
    QCOMPARE(
        run(dir, {QStringLiteral("--summary"), dir.filePath(QStringLiteral("run0.csv"))}).status,
        1);
    QVERIFY(!QFile::exists(waiting));
    QCOMPARE(run(dir, {QStringLiteral("--lab-sync")}).status, 0);
    LabDatabase db(server.url());
    LabDatabase::History h;
    bool known = false;
    QVERIFY2(db.open(why) && db.history(QStringLiteral("LT-20"), 5, h, known, why),
             qPrintable(why));
    QVERIFY(known);
    QCOMPARE(h.runs, 1);
    QCOMPARE(h.relays[3].errors, w.results().errors(3));
    QCOMPARE(h.relays[0].closings, keeper.thisRun()[0].closings);
    QVERIFY(h.relays[0].closings >= 3100 / 16);
    QCOMPARE(h.lastRuns.front().ending, QStringLiteral("ended"));
    QCOMPARE(h.lastRuns.front().loops, w.results().loops());

    // The program itself, with nothing listening there: its run goes on and says so once.
    const QString log = dir.filePath(QStringLiteral("unreachable.csv"));
    const Program p =
        run(dir, {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                  QStringLiteral("--loops=20"), QStringLiteral("--step=20"),
                  QStringLiteral("--card=LT-21"), QStringLiteral("--log"), log,
                  QStringLiteral("--lab-db"),
                  QStringLiteral("postgresql://x@127.0.0.1:%1/none").arg(freePort())});
    QCOMPARE(p.status, 0);
    QCOMPARE(p.err.count(QLatin1String("Cannot reach the lab database")), 1);
    QFile f(log);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().contains(",note,,,,,\"Cannot reach the lab database"));
}

// Three simulated minutes at 20 ms with the card's records written at each minute mark: what
// the database holds, as a crash would leave it, is the last mark's. And the real program
// killed with SIGKILL leaves its run in the database.
void TstLab::aCrashLosesNoMoreThanTheLastMinute() {
    Rig rig;
    LoopTest& w = rig.w;
    RunRecorder& recorder = rig.recorder;
    const QString file = dir_.filePath(QStringLiteral("crash.sqlite"));
    auto keeper =
        std::make_unique<CardRun>(QStringLiteral("LT-9"), 0, QStringLiteral("sqlite:") + file);
    keeper->watch(w.results());
    QString why;
    QVERIFY2(keeper->start(QStringLiteral("sim"), {}, why), qPrintable(why));
    LabDatabase::Relays atMark{};
    int marks = 0;
    QObject::connect(&recorder, &RunRecorder::checkpointed, [&] {
        keeper->checkpoint();
        atMark = keeper->thisRun();
        ++marks;
    });
    rig.walk(9000);
    QCOMPARE(marks, 2);
    QVERIFY(keeper->thisRun()[0].closings > atMark[0].closings); // since the mark
    // Kept on this PC at the mark, and in the database once the courier has it there.
    const auto kept = labqueue::read(keeper->queueFile());
    QVERIFY(kept.last && kept.last->seq == 3);
    QCOMPARE(kept.last->run.relays, atMark);
    QVERIFY(LabCourier::instance().waitDelivered(keeper->queueFile(), 3, 60000));
    // Read by Python's own SQLite, as a crash leaves the file.
    QProcess reader;
    reader.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sqlite3, sys\n"
                                 "db = sqlite3.connect(sys.argv[1])\n"
                                 "for r in db.execute('SELECT relay, closings, errors FROM "
                                 "run_relays ORDER BY relay'): print(*r)\n"),
                  file});
    QVERIFY(reader.waitForFinished(30000));
    const QStringList rows =
        QString::fromUtf8(reader.readAllStandardOutput()).trimmed().split('\n');
    QCOMPARE(rows.size(), 16);
    for (int r = 0; r < 16; ++r)
        QCOMPARE(rows[r],
                 QStringLiteral("%1 %2 %3").arg(r).arg(atMark[r].closings).arg(atMark[r].errors));
    recorder.disconnect();

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir_.filePath(QStringLiteral("killed")));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(LOOPTEST_PROGRAM),
            {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
             QStringLiteral("--duration=1h"), QStringLiteral("--step=20"),
             QStringLiteral("--card=LT-10"), QStringLiteral("--no-log")});
    QVERIFY(p.waitForStarted());
    // Killed once its run is in the database, however long a busy machine takes for that.
    const QString data = dir_.filePath(QStringLiteral("killed"));
    auto history = [&] {
        QProcess h;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("XDG_DATA_HOME"), data);
        h.setProcessEnvironment(e);
        h.start(QStringLiteral(LOOPTEST_PROGRAM), {QStringLiteral("--card-history=LT-10")});
        h.waitForFinished(30000);
        return Program{h.exitCode(), QString::fromUtf8(h.readAllStandardOutput()), {}};
    };
    QTRY_VERIFY_WITH_TIMEOUT(history().out.contains(QLatin1String(" running ")), 60000);
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    QVERIFY(p.waitForFinished());
    // Its file in the queue is delivered again by the next start: the same run, told it was
    // cut short, counted once.
    const Program after = history();
    QCOMPARE(after.status, 0);
    QVERIFY2(after.out.contains(QLatin1String(" cut short ")) &&
                 !after.out.contains(QLatin1String(" running ")),
             qPrintable(after.out));
    QCOMPARE(bookOf(after.out).runs, 1);
    QVERIFY(QDir(data + QStringLiteral("/looptest/lab-queue")).isEmpty());
}

// A card's JSON book of the time before the database is taken in once, on its first use; a
// book of another card is refused with words naming it, the run going on; a database of a
// newer schema is refused, and --card-history says it cannot read it.
void TstLab::oldBooksAndNewerSchemas() {
    QTemporaryDir dir;
    const QString cards = dir.filePath(QStringLiteral("data/looptest/cards"));
    QVERIFY(QDir().mkpath(cards));
    // As earlier versions wrote them.
    auto book = [&](const char* file, const char* card) {
        QJsonArray relays;
        for (int r = 0; r < 16; ++r)
            relays << QJsonObject{{QStringLiteral("relay"), r},
                                  {QStringLiteral("closings"), 1000 + r},
                                  {QStringLiteral("errors"), r == 4 ? 7 : 0}};
        const QString seen = QDateTime::currentDateTime().addDays(-3).toString(Qt::ISODate);
        QFile f(cards + QLatin1Char('/') + QLatin1String(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(QJsonObject{{QStringLiteral("card"), QLatin1String(card)},
                                          {QStringLiteral("runs"), 5},
                                          {QStringLiteral("first_seen"), seen},
                                          {QStringLiteral("last_seen"), seen},
                                          {QStringLiteral("relays"), relays}})
                    .toJson());
    };
    book("LT-11.json", "LT-11");
    book("LT-12.json", "LT-13");
    const QStringList args{QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                           QStringLiteral("--loops=32"), QStringLiteral("--step=20"),
                           QStringLiteral("--no-log")};
    for (int i = 0; i < 2; ++i)
        QCOMPARE(run(dir, args + QStringList{QStringLiteral("--card=LT-11")}).status, 0);
    const Book b = bookOf(run(dir, {QStringLiteral("--card-history=LT-11")}).out);
    QCOMPARE(b.runs, 3); // the book, once, and the two runs
    QCOMPARE(b.endings.mid(0, 2), QStringList(2, QStringLiteral("ended pass")));
    QCOMPARE(b.closings[4], 1004 + 2 * 32 / 16);
    QCOMPARE(b.errors[4], 7);
    QVERIFY(QFile::exists(cards + QStringLiteral("/LT-11.json"))); // left where it is

    const Program other = run(dir, args + QStringList{QStringLiteral("--card=LT-12")});
    QCOMPARE(other.status, 0);
    QVERIFY2(other.err.contains(cards + QStringLiteral("/LT-12.json is the book of card LT-13")),
             qPrintable(other.err));

    const QString newer = dir.filePath(QStringLiteral("newer.sqlite"));
    QProcess make;
    make.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import sqlite3, sys\n"
                               "db = sqlite3.connect(sys.argv[1])\n"
                               "db.execute('CREATE TABLE looptest_schema (version INTEGER NOT "
                               "NULL)')\n"
                               "db.execute('INSERT INTO looptest_schema VALUES (?)', "
                               "(int(sys.argv[2]),))\n"
                               "db.commit()\n"),
                newer, QString::number(LabDatabase::kSchemaVersion + 1)});
    QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);
    const Program refused =
        run(dir, args + QStringList{QStringLiteral("--card=LT-11"), QStringLiteral("--lab-db"),
                                    QStringLiteral("sqlite:") + newer});
    QCOMPARE(refused.status, 0);
    QVERIFY2(refused.err.contains(
                 QStringLiteral("is of schema version %1, newer than this looptest's %2")
                     .arg(LabDatabase::kSchemaVersion + 1)
                     .arg(LabDatabase::kSchemaVersion)),
             qPrintable(refused.err));
    QCOMPARE(run(dir, {QStringLiteral("--card-history=LT-11"), QStringLiteral("--lab-db"),
                       QStringLiteral("sqlite:") + newer})
                 .status,
             69);
}

// A run's queue file takes its name in the queue only once it is locked, so a program
// delivering the queue at that moment never finds it empty and unlocked (it set such a file
// aside as damaged, and the run's records with it). Seen through inotify: the name comes by a
// rename, never by a creation.
void TstLab::aQueueFileComesIntoTheQueueLocked() {
    QVERIFY(QDir().mkpath(labqueue::folder()));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(labqueue::folder()).constData(),
                                IN_CREATE | IN_MOVED_TO) >= 0);
    labqueue::File file;
    QString why;
    QVERIFY2(file.open(QStringLiteral("1f0e6c4a-77b1-4a59-bd1c-8c0d2a3b4c5d"), why),
             qPrintable(why));
    QCOMPARE(labqueue::claim(file.path()), -1); // held by the run
    alignas(inotify_event) char events[4096];
    const ssize_t n = ::read(watch, events, sizeof events);
    ::close(watch);
    QStringList seen;
    for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(events + at);
        seen << QStringLiteral("%1 %2").arg(e->mask & IN_CREATE ? "created" : "named",
                                            QString::fromLocal8Bit(e->name));
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    const QString name = QFileInfo(file.path()).fileName();
    QCOMPARE(seen,
             (QStringList{QStringLiteral("created .") + name, QStringLiteral("named ") + name}));
    file.close();
    QFile::remove(file.path());
}

// The courier's own way, inside a running program, on a database that cannot be reached (a
// file stands where its folder should be): a run's end is told that its records only wait,
// --card-history counts what waits and, apart, what a run still going holds, and once the
// database can be reached the courier delivers the run and what an earlier program left, by
// itself: no checkpoint, no end, no next program, no --lab-sync.
void TstLab::recordsThatCannotGoWaitAndThenGoByThemselves() {
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    const QString blocker = dir.filePath(QStringLiteral("lab"));
    QFile block(blocker);
    QVERIFY(block.open(QIODevice::WriteOnly));
    block.close();
    const QString url = QStringLiteral("sqlite:") + blocker + QStringLiteral("/lab.sqlite");
    const QString card = QStringLiteral("LT-70");

    // What an earlier program could not deliver.
    labqueue::Entry earlier;
    earlier.seq = 7;
    earlier.url = url;
    earlier.run.uid = QStringLiteral("5e0c1f7a-2b3d-4c5e-8f90-a1b2c3d4e5f6");
    earlier.run.card = card;
    earlier.run.host = QStringLiteral("pc");
    earlier.run.started = QDateTime::currentDateTimeUtc().addSecs(-3600);
    earlier.run.ending = QStringLiteral("ended");
    earlier.run.verdict = QStringLiteral("pass");
    earlier.run.loops = 1600;
    for (int r = 0; r < 16; ++r)
        earlier.run.relays[r] = {100, 0};
    QVERIFY(QDir().mkpath(labqueue::folder()));
    const QString earlierFile =
        QDir(labqueue::folder()).filePath(earlier.run.uid + QStringLiteral(".jsonl"));
    {
        QFile f(earlierFile);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(labqueue::line(earlier)) > 0);
    }

    Rig rig;
    CardRun keeper(card, 0, url);
    keeper.watch(rig.w.results());
    QStringList warnings;
    keeper.onWarning = [&](const QString& why) { warnings << why; };
    QString why;
    QVERIFY2(keeper.start(QStringLiteral("sim"), {}, why), qPrintable(why));
    rig.walk(48);
    rig.w.autoCmd_Click(); // stopped: nothing counts after the end
    QTRY_VERIFY(!rig.w.readBackPending());
    const labqueue::CardQueue going = labqueue::queuedOf(card);
    QVERIFY(going.waiting == 1 && going.inProgress == 1);
    const Program history =
        run(dir, {QStringLiteral("--card-history=") + card, QStringLiteral("--lab-db=") + url});
    QCOMPARE(history.status, 69);
    QVERIFY2(
        history.err.contains(QStringLiteral("\n1 run of card %1 waits on this PC").arg(card)) &&
            history.err.contains(
                QStringLiteral("\n1 run of card %1 in progress on this PC\n").arg(card)),
        qPrintable(history.err));

    // The end waits for the courier's try, not for its time: it is told the try failed.
    keeper.finish(QStringLiteral("ended"), false, 60000);
    QVERIFY(!warnings.isEmpty());
    QVERIFY2(warnings.last().contains(QLatin1String("wait on this PC in ")),
             qPrintable(warnings.join('\n')));
    QVERIFY(QFile::exists(keeper.queueFile()));
    const labqueue::CardQueue ended = labqueue::queuedOf(card);
    QVERIFY(ended.waiting == 2 && ended.inProgress == 0);

    // The earlier program's file: tried by this program's courier, and kept.
    std::mutex mutex;
    QStringList notes;
    LabCourier& courier = LabCourier::instance();
    courier.onNote = [&](const QString& words) {
        std::lock_guard<std::mutex> lock(mutex);
        notes << words;
    };
    struct Unhook { // however the test ends, the courier no longer writes into its locals
        LabCourier& c;
        ~Unhook() { c.onNote = nullptr; }
    } unhook{courier};
    auto noted = [&](const QString& words) {
        std::lock_guard<std::mutex> lock(mutex);
        return notes.filter(words).size();
    };
    courier.deliverWaiting();
    QTRY_VERIFY_WITH_TIMEOUT(noted(QStringLiteral("are tried again")) == 1, 60000);
    QVERIFY(QFile::exists(earlierFile));

    QVERIFY(QFile::remove(blocker)); // the database can be reached now
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(earlierFile) && !QFile::exists(keeper.queueFile()),
                             90000);
    QTRY_COMPARE_WITH_TIMEOUT(noted(QStringLiteral("waited on this PC; ")), 1, 10000);
    courier.onNote = nullptr;
    QVERIFY(courier.status(keeper.queueFile()).failure.isEmpty());
    LabDatabase db(url);
    LabDatabase::History h;
    bool known = false;
    QVERIFY2(db.open(why) && db.history(card, 5, h, known, why), qPrintable(why));
    QCOMPARE(h.runs, 2);
    QCOMPARE(h.relays[0].closings, 100 + keeper.thisRun()[0].closings);
    QCOMPARE(h.relays[3].errors, rig.w.results().errors(3));
    QCOMPARE(h.lastRuns.front().loops, rig.w.results().loops());
    QCOMPARE(h.lastRuns.back().loops, 1600);
    QCOMPARE(labqueue::queuedOf(card).waiting, 0);
}

void TstLab::initTestCase() {
    // This process's own runs keep their queue beside the programs': in their data folder.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("data"))));
}

void TstLab::cleanupTestCase() {
    LabCourier::instance().stop();
}

// A checkpoint's sixteen relay rows go in one transaction: when one of them cannot be written
// (here a trigger refuses relay 8's), none of them changes and the run's row keeps its last
// whole checkpoint.
void TstLab::aCheckpointIsWrittenWholeOrNotAtAll() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lab.sqlite"));
    LabDatabase db(QStringLiteral("sqlite:") + path);
    QString why;
    QVERIFY2(db.open(why), qPrintable(why));
    QVERIFY2(db.knowCard(QStringLiteral("LT-30"), nullptr, why), qPrintable(why));
    LabDatabase::Run run;
    run.uid = QStringLiteral("a-run");
    run.card = QStringLiteral("LT-30");
    run.host = QStringLiteral("pc");
    run.started = QDateTime::currentDateTimeUtc();
    run.ending = QStringLiteral("running");
    for (int r = 0; r < 16; ++r)
        run.relays[r] = {10 + r, r};
    run.loops = 160;
    QVERIFY2(db.writeRun(run, why), qPrintable(why));
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "other");
        other.setDatabaseName(path);
        QVERIFY(other.open());
        QSqlQuery refuse(other);
        QVERIFY2(refuse.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE UPDATE ON run_relays "
                                            "WHEN NEW.relay = 8 BEGIN SELECT RAISE(ABORT, "
                                            "'relay 8 refused'); END")),
                 qPrintable(refuse.lastError().text()));
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    LabDatabase::Run later = run;
    for (int r = 0; r < 16; ++r)
        later.relays[r] = {20 + r, 2 * r};
    later.loops = 320;
    QVERIFY(!db.writeRun(later, why));
    QVERIFY2(why.contains(QLatin1String("relay 8 refused")), qPrintable(why));
    LabDatabase::History h;
    bool known = false;
    QVERIFY2(db.history(QStringLiteral("LT-30"), 10, h, known, why), qPrintable(why));
    QVERIFY(known);
    for (int r = 0; r < 16; ++r) {
        QCOMPARE(h.relays[r].closings, 10 + r);
        QCOMPARE(h.relays[r].errors, r);
    }
    QCOMPARE(h.lastRuns.size(), std::size_t(1));
    QCOMPARE(h.lastRuns[0].loops, 160);
}

// The lab's SQLite file locked by another program across two checkpoints: each is kept on
// this PC and handed over, the walk goes on, and once the lock goes the database has the
// run's totals, once.
void TstLab::aLockedDatabaseHoldsUpNoCheckpoint() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("locked.sqlite"));
    const QString url = QStringLiteral("sqlite:") + file;
    {
        LabDatabase db(url);
        QString why;
        QVERIFY2(db.open(why), qPrintable(why));
    }
    QProcess holder;
    holder.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sqlite3, sys\n"
                                 "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                 "db.execute('BEGIN EXCLUSIVE')\n"
                                 "print('locked', flush=True)\n"
                                 "sys.stdin.read()\n"),
                  file});
    QVERIFY(holder.waitForReadyRead(30000));
    Rig rig;
    CardRun keeper(QStringLiteral("LT-50"), 0, url);
    keeper.watch(rig.w.results());
    LabDatabase::Relays atMark{};
    int marks = 0;
    QObject::connect(&rig.recorder, &RunRecorder::checkpointed, [&] {
        keeper.checkpoint();
        atMark = keeper.thisRun();
        ++marks;
    });
    QString why;
    QVERIFY2(keeper.start(QStringLiteral("sim"), {}, why), qPrintable(why));
    rig.walk(6200);
    QCOMPARE(marks, 2);
    const auto kept = labqueue::read(keeper.queueFile());
    QVERIFY(kept.last && kept.last->seq == 3);
    QCOMPARE(kept.last->run.relays, atMark);
    QTRY_VERIFY_WITH_TIMEOUT(
        LabCourier::instance().status(keeper.queueFile()).failure.contains(QLatin1String("lock")),
        60000);
    QCOMPARE(LabCourier::instance().status(keeper.queueFile()).delivered, 0);
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(30000));
    keeper.finish(QStringLiteral("ended"), false, 60000);
    QVERIFY(!QFile::exists(keeper.queueFile()));
    LabDatabase db(url);
    LabDatabase::History h;
    bool known = false;
    QVERIFY2(db.open(why) && db.history(QStringLiteral("LT-50"), 5, h, known, why),
             qPrintable(why));
    QCOMPARE(h.runs, 1);
    QCOMPARE(h.relays, keeper.thisRun());
    QCOMPARE(h.lastRuns.front().loops, rig.w.results().loops());
}

// Queue files as crashes leave them: one whose last line was cut short goes as its last whole
// checkpoint left it, and says so; one with nothing whole is set aside and named; neither
// holds up the others. A file delivered again (a program killed before it could remove it)
// replaces its run, never adds to it.
void TstLab::theQueueIsDeliveredAsFarAsItIsWholeAndOnce() {
    QTemporaryDir dir;
    const QString queue = dir.filePath(QStringLiteral("data/looptest/lab-queue"));
    QVERIFY(QDir().mkpath(queue));
    const QString url = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("q.sqlite"));
    auto entry = [&](const char* card, const char* uid, int seq, bool ended) {
        labqueue::Entry e;
        e.seq = seq;
        e.url = url;
        e.run.uid = QLatin1String(uid);
        e.run.card = QLatin1String(card);
        e.run.host = QStringLiteral("pc");
        e.run.started = QDateTime::currentDateTimeUtc().addSecs(-600);
        e.run.ending = ended ? QStringLiteral("ended") : QStringLiteral("running");
        e.run.verdict = ended ? QStringLiteral("pass") : QString();
        e.run.loops = 100 * seq;
        for (int r = 0; r < 16; ++r)
            e.run.relays[r] = {10 * seq + r, seq};
        return labqueue::line(e);
    };
    auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(queue + QLatin1Char('/') + QLatin1String(name));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    };
    const QByteArray third = entry("LT-60", "cut", 3, false);
    write("cut.jsonl", entry("LT-60", "cut", 1, false) + entry("LT-60", "cut", 2, false) +
                           third.left(third.size() / 2));
    write("garbage.jsonl", "{\"format\": 1, \"seq\"");
    write("whole.jsonl", entry("LT-61", "whole", 4, true));
    const Program p = run(dir, {QStringLiteral("--lab-sync")});
    QCOMPARE(p.status, 0);
    QVERIFY2(p.err.contains(QLatin1String("as its checkpoint 2 left it")) &&
                 p.err.contains(QLatin1String("garbage.jsonl: it holds no whole checkpoint")) &&
                 p.err.contains(QLatin1String("2 runs delivered, 0 still wait")),
             qPrintable(p.err));
    QCOMPARE(QDir(queue).entryList(QDir::Files), QStringList{"garbage.jsonl.damaged"});
    // Delivered again, as after a program killed before it removed the file.
    write("whole.jsonl", entry("LT-61", "whole", 4, true));
    QCOMPARE(run(dir, {QStringLiteral("--lab-sync")}).status, 0);
    LabDatabase db(url);
    QString why;
    QVERIFY2(db.open(why), qPrintable(why));
    for (const auto& [card, seq, ending] :
         {std::tuple{"LT-60", 2, "cut short"}, std::tuple{"LT-61", 4, "ended"}}) {
        LabDatabase::History h;
        bool known = false;
        QVERIFY2(db.history(QLatin1String(card), 5, h, known, why), qPrintable(why));
        QCOMPARE(h.runs, 1);
        QCOMPARE(h.lastRuns.front().ending, QLatin1String(ending));
        QCOMPARE(h.lastRuns.front().loops, 100 * seq);
        for (int r = 0; r < 16; ++r)
            QCOMPARE(h.relays[r], (LabDatabase::Counts{10 * seq + r, seq}));
    }
}

// A database of the first schema, as the program before the queue made it: brought up to date
// with every run and count kept, and runs added to it after.
void TstLab::aDatabaseOfTheFirstSchemaKeepsEverything() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("v1.sqlite"));
    QProcess make;
    make.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral(LOOPTEST_SOURCE "/tests/lab/schema_v1.py"), file});
    QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);
    const QString lab = QStringLiteral("--lab-db=sqlite:") + file;
    const QString metrics = dir.filePath(QStringLiteral("run.prom"));
    QCOMPARE(run(dir, {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                       QStringLiteral("--loops=32"), QStringLiteral("--step=20"),
                       QStringLiteral("--no-log"), QStringLiteral("--card=LT-70"),
                       QStringLiteral("--metrics"), metrics, lab})
                 .status,
             0);
    const Program history = run(dir, {QStringLiteral("--card-history=LT-70"), lab});
    QCOMPARE(history.status, 0);
    const Book b = bookOf(history.out);
    QCOMPARE(b.runs, 3);
    // The new run's closings as its metrics count them (a busy machine may close a relay
    // again before a late read-back): two at least.
    const std::array<std::int64_t, 16> added = closingsOf(metrics);
    for (int r = 0; r < 16; ++r) {
        QVERIFY(added[r] >= 2);
        QCOMPARE(b.closings[r], 2 * 11250 + added[r]);
        QCOMPARE(b.errors[r], r == 5 ? 7 : 0);
    }
    QCOMPARE(b.endings, (QStringList{QStringLiteral("ended pass"), QStringLiteral("ended pass"),
                                     QStringLiteral("ended fail")}));
}

// A relay that passes its rated life over all the card's runs is told once, with its closings
// so far, on stderr and as a row of the log; one that has not, never.
void TstLab::aRelayPastItsRatedLifeIsToldOnce() {
    QTemporaryDir dir;
    auto walk = [&](const QString& log) {
        return run(dir, {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                         QStringLiteral("--loops=64"), QStringLiteral("--step=20"),
                         QStringLiteral("--card=LT-40"), QStringLiteral("--relay-life=5"),
                         QStringLiteral("--log"), dir.filePath(log)});
    };
    auto lifeRows = [&](const QString& log) {
        QFile f(dir.filePath(log));
        f.open(QIODevice::ReadOnly);
        QStringList rows;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.split(',').value(2) == "relay-life")
                rows << QString::fromUtf8(line.split(',').mid(3, 4).join(',')); // relay,,,count
        return rows;
    };
    // Four closings of each relay: none has passed five.
    const Program first = walk(QStringLiteral("first.csv"));
    QCOMPARE(first.status, 0);
    QVERIFY2(!first.err.contains(QLatin1String("rated life")), qPrintable(first.err));
    QCOMPARE(lifeRows(QStringLiteral("first.csv")), QStringList());
    // The next run passes five at each relay's second closing, the card's sixth; it is told
    // as soon as the database has told the run the card's other closings: by the eighth.
    const Program second = walk(QStringLiteral("second.csv"));
    QCOMPARE(second.status, 0);
    QCOMPARE(second.err.count(QLatin1String("passed its rated life")), 16);
    const QStringList rows = lifeRows(QStringLiteral("second.csv"));
    QCOMPARE(rows.size(), 16);
    for (int r = 0; r < 16; ++r) {
        const int closings = rows[r].section(QLatin1Char(','), 3).toInt();
        QVERIFY2(rows[r].startsWith(QStringLiteral("%1,,,").arg(r)) && closings >= 6 &&
                     closings <= 8,
                 qPrintable(rows[r]));
        QVERIFY2(second.err.contains(QStringLiteral("relay %1 of card LT-40 passed its rated "
                                                    "life of 5 closings (%2 so far)")
                                         .arg(r)
                                         .arg(closings)),
                 qPrintable(second.err));
    }
}

// A diagnosis closes every relay, to time it and to map the inputs: the card's book counts
// those closings, each time alike for a card alike, and no errors.
void TstLab::aDiagnosisAddsItsClosingsToTheBook() {
    QTemporaryDir dir;
    const QStringList diagnose{QStringLiteral("--diagnose"), QStringLiteral("--device=sim"),
                               QStringLiteral("--no-log"), QStringLiteral("--card=LT-41")};
    QCOMPARE(run(dir, diagnose).status, 0);
    const Book once = bookOf(run(dir, {QStringLiteral("--card-history=LT-41")}).out);
    QCOMPARE(run(dir, diagnose).status, 0);
    const Book twice = bookOf(run(dir, {QStringLiteral("--card-history=LT-41")}).out);
    QCOMPARE(twice.runs, 2);
    for (int r = 0; r < 16; ++r) {
        // Timed three times, and closed alone in each of three rounds of the map, at least.
        QVERIFY2(once.closings[r] >= 6, qPrintable(QString::number(r)));
        QCOMPARE(twice.closings[r], 2 * once.closings[r]);
        QCOMPARE(twice.errors[r], 0);
    }
}

// The metrics of a run, parsed by Debian's python3-prometheus-client, and scraped from
// Debian's node exporter reading them as its textfile collector: the same values as the
// program's counters.
void TstLab::theMetricsAsPrometheusReadsThem() {
    const QString exporter = QStringLiteral("/usr/bin/prometheus-node-exporter");
    if (!QFile::exists(exporter))
        QFAIL("prometheus-node-exporter is missing: scripts/setup.sh installs it");
    const QString textfiles = dir_.filePath(QStringLiteral("textfiles"));
    QDir().mkpath(textfiles);
    const Program p = run(
        dir_, {QStringLiteral("--headless"), QStringLiteral("--device=sim:relay-never-closes=3"),
               QStringLiteral("--loops=48"), QStringLiteral("--step=20"),
               QStringLiteral("--card=LT-11"), QStringLiteral("--no-log"),
               QStringLiteral("--metrics"), textfiles + QStringLiteral("/looptest.prom")});
    QCOMPARE(p.status, 1);

    const QString listen = QStringLiteral("127.0.0.1:%1").arg(freePort());
    QProcess node;
    node.start(exporter, {QStringLiteral("--web.listen-address=") + listen,
                          QStringLiteral("--collector.disable-defaults"),
                          QStringLiteral("--collector.textfile"),
                          QStringLiteral("--collector.textfile.directory=") + textfiles});
    QVERIFY(node.waitForStarted());
    // Each source read by the parser: the loops, relay 3's mismatches, whether it goes.
    QProcess reader;
    reader.start(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral(
             "import sys, time, urllib.request\n"
             "from prometheus_client.parser import text_string_to_metric_families as parse\n"
             "def values(text):\n"
             "  v = {}\n"
             "  for family in parse(text):\n"
             "    for s in family.samples:\n"
             "      if s.labels.get('card') == 'LT-11' and s.labels.get('relay') in (None, '3'):\n"
             "        v[(s.name, s.labels.get('kind', ''))] = s.value\n"
             "  return v\n"
             "print(sorted(values(open(sys.argv[1]).read()).items()))\n"
             "print(sorted((f.name, f.type) for f in parse(open(sys.argv[1]).read())))\n"
             "for attempt in range(100):\n"
             "  try:\n"
             "    text = urllib.request.urlopen('http://' + sys.argv[2] + '/metrics').read()\n"
             "    break\n"
             "  except OSError: time.sleep(0.1)\n"
             "print(sorted(values(text.decode()).items()))\n"),
         textfiles + QStringLiteral("/looptest.prom"), listen});
    QVERIFY(reader.waitForFinished(30000));
    node.kill();
    node.waitForFinished();
    if (reader.readAllStandardError().contains("No module named"))
        QFAIL("python3-prometheus-client is missing: scripts/setup.sh installs it");
    const QStringList seen =
        QString::fromUtf8(reader.readAllStandardOutput()).trimmed().split('\n');
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen[0], seen[2]); // the file and the scrape agree
    // Each family's type as the parser takes it: counts only grow, the rest are gauges.
    QCOMPARE(seen[1], QStringLiteral("[('looptest_closings', 'counter'), "
                                     "('looptest_errors', 'counter'), ('looptest_failed_reads', "
                                     "'counter'), ('looptest_failed_writes', 'counter'), "
                                     "('looptest_last_error_timestamp_seconds', 'gauge'), "
                                     "('looptest_loops', 'counter'), ('looptest_running', "
                                     "'gauge'), ('looptest_start_timestamp_seconds', 'gauge')]"));
    const QString want = QStringLiteral("('looptest_errors_total', 'input-inactive'), %1.0)")
                             .arg(errorsOf(p.out, 3));
    QVERIFY2(seen[0].contains(want) &&
                 seen[0].contains(QLatin1String("('looptest_loops_total', ''), 48.0)")) &&
                 seen[0].contains(QLatin1String("('looptest_running', ''), 0.0)")),
             qPrintable(seen[0]));
}

QTEST_MAIN(TstLab)
#include "tst_lab.moc"
