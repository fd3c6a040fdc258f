// A lab's view: a card's book over runs and across a crash, and the metrics as Prometheus'
// own parser and Debian's node exporter read them.
#include "card/simulator/LoopbackSimulator.h"
#include "lab/CardBook.h"
#include "looptest/LoopTest.h"
#include "runlog/RunRecorder.h"
#include "support/FreePort.h"
#include "support/ModalAnswerer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

struct Program {
    int status = -1;
    QString out, err;
};

// The real program, its data folder in dir.
Program run(const QTemporaryDir& dir, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(LOOPTEST_PROGRAM), args);
    p.waitForFinished(60000);
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

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

} // namespace

class TstLab : public QObject {
    Q_OBJECT
private slots:
    void aCardsBookAddsUpItsRuns();
    void aCrashLeavesTheBookOfTheLastCheckpoint();
    void theMetricsAsPrometheusReadsThem();

private:
    QTemporaryDir dir_;
};

void TstLab::aCardsBookAddsUpItsRuns() {
    std::int64_t errors = 0;
    for (int i = 0; i < 2; ++i) {
        const Program p = run(dir_, {QStringLiteral("--headless"),
                                     QStringLiteral("--device=sim:relay-never-closes=3"),
                                     QStringLiteral("--loops=64"), QStringLiteral("--step=20"),
                                     QStringLiteral("--card=LT-7"), QStringLiteral("--no-log")});
        QCOMPARE(p.status, 1);
        errors += errorsOf(p.out, 3);
    }
    QVERIFY(errors > 0);
    const Program history = run(dir_, {QStringLiteral("--card-history=LT-7")});
    QCOMPARE(history.status, 0);
    CardBook book;
    QString why;
    QVERIFY2(
        CardBook::load(dir_.filePath(QStringLiteral("data/looptest/cards/LT-7.json")), book, why),
        qPrintable(why));
    QCOMPARE(book.runs, 2);
    for (int r = 0; r < 16; ++r) {
        QCOMPARE(book.relays[r].closings, 2 * 64 / 16); // each step closes one relay
        QCOMPARE(book.relays[r].errors, r == 3 ? errors : 0);
    }
    QVERIFY2(history.out.contains(QLatin1String("    3            8  ")), qPrintable(history.out));
    QCOMPARE(run(dir_, {QStringLiteral("--card-history=LT-8")}).status, 66);
}

// Three simulated minutes at 20 ms with the book saved at each minute mark; the file, as a
// crash would leave it, holds the last mark's counts. And the real program killed with
// SIGKILL leaves a book that reads.
void TstLab::aCrashLeavesTheBookOfTheLastCheckpoint() {
    qint64 nowMs = 1'800'000'000'000;
    SimCard card;
    LoopTest w(card);
    {
        ModalAnswerer answerer;
        w.Form_Load();
    }
    RunRecorder recorder(w.results(), [&nowMs] { return nowMs; });
    const QString path = dir_.filePath(QStringLiteral("book.json"));
    CardBookKeeper keeper(QStringLiteral("LT-9"), 0, path);
    keeper.watch(w.results());
    QString why;
    QVERIFY2(keeper.start(why), qPrintable(why));
    CardBook atMark;
    int marks = 0;
    QObject::connect(&recorder, &RunRecorder::checkpointed, [&] {
        keeper.checkpoint();
        atMark = keeper.book();
        ++marks;
    });
    w.autoCmd_Click();
    for (int step = 0; step < 9000; ++step) {
        w.Timer1_Timer();
        w.getTimer_Timer();
        nowMs += 20;
    }
    CardBook left;
    QVERIFY2(CardBook::load(path, left, why), qPrintable(why));
    QCOMPARE(marks, 2);
    QVERIFY(keeper.book().relays[0].closings > atMark.relays[0].closings); // since the mark
    for (int r = 0; r < 16; ++r)
        QVERIFY(left.relays[r].closings == atMark.relays[r].closings &&
                left.relays[r].errors == atMark.relays[r].errors);

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir_.filePath(QStringLiteral("killed")));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(LOOPTEST_PROGRAM),
            {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
             QStringLiteral("--duration=1h"), QStringLiteral("--step=20"),
             QStringLiteral("--card=LT-10"), QStringLiteral("--no-log")});
    QVERIFY(p.waitForStarted());
    QTest::qWait(1500);
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    QVERIFY(p.waitForFinished());
    QVERIFY2(CardBook::load(dir_.filePath(QStringLiteral("killed/looptest/cards/LT-10.json")), left,
                            why),
             qPrintable(why));
    QCOMPARE(left.runs, 1);
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
    QCOMPARE(seen[1], QStringLiteral("[('looptest_errors', 'counter'), ('looptest_failed_reads', "
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
