#include "card/simulator/LoopbackSimulator.h"
#include "looptest/LoopTest.h"
#include "runlog/LogReader.h"
#include "runlog/RunRecorder.h"
#include "runlog/Summary.h"
#include "support/Browser.h"
#include "support/ModalAnswerer.h"

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>

using Kind = SimulatorFault::Kind;
Q_DECLARE_METATYPE(SimulatorFault)

namespace {

constexpr qint64 kStepMs = 20;

struct SimCard : CardControl {
    LoopbackSimulator sim;
    explicit SimCard(SimulatorFault f, std::int64_t* nowUs)
        : sim(f, [nowUs] { return *nowUs; }) {}
    bool SelectDevice() override { return true; }
    void setActive(bool) override {}
    bool ReadPort(std::int32_t p, std::int16_t& d) override { return sim.read(p, d); }
    bool WritePort(std::int32_t p, std::int16_t d) override { return sim.write(p, d); }
};

// The window on the simulator, recorded, driven step by step on a clock the test moves.
struct Run {
    qint64 nowMs = 1'800'000'000'000;
    std::int64_t nowUs = 0;
    SimCard sim;
    LoopTest w{sim};
    std::unique_ptr<RunRecorder> recorder;

    Run(SimulatorFault fault, const QString& log)
        : sim(fault, &nowUs) {
        ModalAnswerer answerer;
        w.Form_Load();
        recorder = std::make_unique<RunRecorder>(w.results(), [this] { return nowMs; });
        QString why;
        if (!recorder->startLog(log, QStringLiteral("test run"), {}, why))
            qFatal("%s", qPrintable(why));
    }
    void steps(int n) {
        for (int i = 0; i < n; ++i) {
            w.Timer1_Timer();
            nowMs += 5;
            nowUs += 5000;
            w.getTimer_Timer();
            nowMs += kStepMs - 5;
            nowUs += (kStepMs - 5) * 1000;
        }
    }
    std::int64_t errors(int c) const { return w.results().errors(c); }
};

std::vector<QStringList> rows(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    std::vector<QStringList> out;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            out.push_back(splitCsv(QString::fromUtf8(line.trimmed())));
    return out;
}

} // namespace

class TstRunLog : public QObject {
    Q_OBJECT
private slots:
    void everyCountIsAccountedForAndTheLogStaysSmall_data();
    void everyCountIsAccountedForAndTheLogStaysSmall();
    void aLogCutShortIsReadToItsLastCheckpoint();
    void aCheckpointIsOneMomentAndACutLogKeepsIt();
    void aLogIsTakenOnNoTrust();
    void aLogThatCannotBeWrittenIsOneWarning();
    void eightColumnLogsReadAsBefore();
    void theStartRowHoldsTheSettingsTheRunStartsWith();
    void everyEventReadsBackAsItWasWritten();
    void aRecordPastTwoGibibytesIsAppendedTo();
    void theDiagnosisLogsEachChannelsOwnFigures();
    void theReportShowsTheErrorsInABrowser();

private:
    QTemporaryDir dir_;
};

void TstRunLog::everyCountIsAccountedForAndTheLogStaysSmall_data() {
    QTest::addColumn<SimulatorFault>("fault");
    QTest::newRow("healthy") << SimulatorFault{};
    QTest::newRow("relay never closes") << SimulatorFault{Kind::RelayNeverCloses, 3};
    QTest::newRow("input stuck") << SimulatorFault{Kind::InputStuckActive, 5};
    QTest::newRow("input dead") << SimulatorFault{Kind::InputNeverActive, 7};
    QTest::newRow("swap") << SimulatorFault{Kind::SwappedWires, 2, 9};
    QTest::newRow("writes fail") << SimulatorFault{Kind::EveryKthWriteFails, 0, 1, 7};
    QTest::newRow("reads fail") << SimulatorFault{Kind::EveryKthReadFails, 0, 1, 5};
    QTest::newRow("dead") << SimulatorFault{Kind::DeadAfterK, 0, 1, 5000};
    QTest::newRow("intermittent") << SimulatorFault{Kind::Intermittent, 4, 1, 10, 0, 30, 7};
}

// Twenty simulated minutes at 20 ms with a Reset in the middle: the reset rows hold what Reset
// cleared, the totals equal the counters, each channel's error rows add up to its counts, and
// the size scaled to a day stays under 10 MB.
void TstRunLog::everyCountIsAccountedForAndTheLogStaysSmall() {
    QFETCH(SimulatorFault, fault);
    const QString path = dir_.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".csv");
    std::array<std::int64_t, 16> beforeReset{};
    std::array<std::int64_t, 16> counters{};
    {
        Run run(fault, path);
        run.w.autoCmd_Click();
        run.steps(30'000);
        run.w.autoCmd_Click();
        for (int c = 0; c < 16; ++c)
            beforeReset[c] = run.errors(c);
        run.w.resetCmd_Click();
        run.w.autoCmd_Click();
        run.steps(30'000);
        for (int c = 0; c < 16; ++c)
            counters[c] = run.errors(c);
        run.w.Command1_Click(); // ends the program and the record
    }
    const auto all = rows(path);
    QCOMPARE(all.front().join(','), QString::fromLatin1(logformat::kHeader));
    std::array<std::int64_t, 16> rowSums{}, resetRows{}, totals{};
    bool resetSeen = false;
    for (const QStringList& r : all) {
        const int c = r.value(3).isEmpty() ? -1 : r.value(3).toInt();
        const std::int64_t n = r.value(6).toLongLong();
        if (r[2] == QLatin1String("reset") && c >= 0) {
            resetRows[c] = n;
            QCOMPARE(rowSums[c], n); // the rows before Reset add up to what it cleared
            rowSums[c] = 0;
        }
        resetSeen |= r[2] == QLatin1String("reset") && c < 0;
        if ((r[2] == QLatin1String("mismatch") || r[2] == QLatin1String("write-failed")) && c >= 0)
            rowSums[c] += n;
        if (r[2] == QLatin1String("total") && c >= 0)
            totals[c] = n;
    }
    QVERIFY(resetSeen);
    QCOMPARE(all.back()[2], QStringLiteral("end"));
    for (int c = 0; c < 16; ++c) {
        QCOMPARE(resetRows[c], beforeReset[c]);
        QCOMPARE(totals[c], counters[c]);
        QCOMPARE(rowSums[c], counters[c]);
    }
    RunSummary summary;
    QString why;
    QVERIFY2(readRunLog(path, summary, why), qPrintable(why));
    QVERIFY2(summary.state == RunSummary::State::Complete, qPrintable(summary.damage));
    QCOMPARE(summary.errors, counters);
    QCOMPARE(summary.loops, 30'000);

    const qint64 bytesPerDay = QFileInfo(path).size() * 72; // 20 minutes, 72 times over
    QVERIFY2(bytesPerDay < 10'000'000, qPrintable(QString::number(bytesPerDay)));
}

// Real logs of a healthy run and of relay 3 never closing, each edited in one place: a log that
// breaks the format or contradicts itself is damaged, none passes unless nothing failed, and
// --summary's exit status follows the verdict.
void TstRunLog::aLogIsTakenOnNoTrust() {
    auto lines = [this](SimulatorFault fault, const char* name) {
        const QString path = dir_.filePath(QLatin1String(name));
        {
            Run run(fault, path);
            run.w.autoCmd_Click();
            run.steps(200);
            run.w.Command1_Click();
        }
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    };
    const QStringList healthy = lines({}, "healthy.csv");
    const QStringList failing = lines({Kind::RelayNeverCloses, 3}, "failing.csv");
    // The line whose event and channel are given, and a field of it set.
    auto at = [](QStringList& log, const char* event, const char* channel) -> QString& {
        for (QString& line : log)
            if (line.section(QLatin1Char(','), 2, 3) ==
                QLatin1String(event) + QLatin1Char(',') + QLatin1String(channel))
                return line;
        qFatal("no %s row of %s", event, channel);
    };
    auto set = [](QString& line, int field, const QString& value) {
        QStringList f = splitCsv(line);
        f[field] = value;
        for (QString& v : f)
            v = logformat::csvField(v);
        line = f.join(QLatin1Char(','));
    };
    auto beforeTotals = [](QStringList& log, const QString& row) {
        log.insert(log.indexOf(QRegularExpression(QStringLiteral(".*,total,.*"))), row);
    };
    const QString time = healthy[1].section(QLatin1Char(','), 0, 0);
    using V = RunSummary::Verdict;
    const struct {
        const char* name;
        bool fails; // edits the failing log, else the healthy one
        std::function<void(QStringList&)> edit;
        V verdict;
        const char* says;
    } cases[] = {
        {"healthy as written", false, [](QStringList&) {}, V::Pass, ""},
        {"failing as written", true, [](QStringList&) {}, V::Fail, ""},
        {"a failing relay's total gone", true,
         [&](QStringList& l) { l.removeOne(at(l, "total", "3")); }, V::Damaged,
         "without the total of relay 3"},
        {"a failing relay's total lowered", true,
         [&](QStringList& l) { set(at(l, "total", "3"), 6, "0"); }, V::Damaged,
         "the total row of relay 3 says 0"},
        {"failed reads that cancel out", false,
         [&](QStringList& l) {
             beforeTotals(l, time + ",1,read-failed,,,,5,port 0,read-failed");
             beforeTotals(l, time + ",1,read-failed,,,,-5,port 0,read-failed");
         },
         V::Damaged, "count \"-5\""},
        {"an error row the totals leave out", false,
         [&](QStringList& l) {
             beforeTotals(l, time + ",200,mismatch,4,10,FF,1,x,input-inactive");
         },
         V::Damaged, "relay 4 says 0, its error rows add up to 1"},
        {"a row of seven fields", true,
         [&](QStringList& l) { l[3] = l[3].section(QLatin1Char(','), 0, 6); }, V::Damaged,
         "7 fields where the header has 9"},
        {"counts near 2^63", true,
         [&](QStringList& l) {
             for (int i = 0; i < 2; ++i)
                 beforeTotals(l,
                              time + ",200,mismatch,3,08,FF,9223372036854775806,x,input-inactive");
         },
         V::Damaged, "relay 3 says"},
        {"a mismatch of the wrong kind", true,
         [&](QStringList& l) { set(at(l, "mismatch", "3"), 8, QStringLiteral("read-failed")); },
         V::Damaged, "a mismatch row of the kind"},
        {"an end stating fewer failures", true, [&](QStringList& l) { set(l.last(), 6, "0"); },
         V::Damaged, "the end row states 0 failures"},
        {"a row longer than any", false,
         [&](QStringList& l) { set(l[2], 7, QString(70'000, QLatin1Char('x'))); }, V::Damaged,
         "longer than"},
        {"cut before its end", false, [](QStringList& l) { l.removeLast(); }, V::Fail, ""},
    };
    for (const auto& c : cases) {
        QStringList log = c.fails ? failing : healthy;
        c.edit(log);
        const QString path = dir_.filePath(QStringLiteral("edited.csv"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write((log.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
        file.close();
        RunSummary s;
        QString why;
        QVERIFY2(readRunLog(path, s, why), qPrintable(why));
        QVERIFY2(s.verdict() == c.verdict && s.damage.contains(QLatin1String(c.says)),
                 qPrintable(QLatin1String(c.name) + QStringLiteral(": ") + summaryTable(s)));
        QCOMPARE(summaryTable(s).contains(QLatin1String("verdict: PASS")), c.verdict == V::Pass);
        QFile again(path);
        again.open(QIODevice::ReadOnly);
        QVERIFY(summaryHtml(s, again).contains(QLatin1String("</svg>")));
    }

    // The program's exit status: 0 pass, 1 fail, 65 damaged (the last edited log, a device),
    // 66 unreadable.
    const std::pair<QString, int> statuses[] = {
        {dir_.filePath(QStringLiteral("healthy.csv")), 0},
        {dir_.filePath(QStringLiteral("failing.csv")), 1},
        {QStringLiteral("/dev/zero"), 65},
        {dir_.filePath(QStringLiteral("none.csv")), 66},
    };
    for (const auto& [log, status] : statuses) {
        QProcess p;
        p.start(QStringLiteral(LOOPTEST_PROGRAM), {QStringLiteral("--summary"), log});
        QVERIFY(p.waitForFinished(30000));
        QVERIFY2(p.exitCode() == status, qPrintable(log));
    }
}

void TstRunLog::aLogCutShortIsReadToItsLastCheckpoint() {
    // In this process: the file as a crash leaves it, after five simulated minutes.
    const QString path = dir_.filePath(QStringLiteral("cut.csv"));
    {
        Run run(SimulatorFault{Kind::InputNeverActive, 12}, path);
        run.w.autoCmd_Click();
        run.steps(15'000);
        QFile::copy(path, path + QStringLiteral(".crash"));
        // A power cut keeps only what was synced: each checkpoint is.
        QFile::copy(path, path + QStringLiteral(".power-cut"));
        QFile::resize(path + QStringLiteral(".power-cut"), run.recorder->log().syncedBytes());
        run.recorder->finish();
    }
    RunSummary s;
    QString why;
    for (const char* after : {".crash", ".power-cut"}) {
        QVERIFY2(readRunLog(path + QLatin1String(after), s, why), qPrintable(why));
        QVERIFY(s.state == RunSummary::State::CutShort && !s.checkpointText.isEmpty());
        // The last checkpoint is at most a minute old.
        QVERIFY2(s.errors[3] >= 15'000 / 16 * 4 / 5, after);
        QVERIFY(s.errors[3] <= 15'000 / 16 + 1);
        QVERIFY(summaryTable(s).contains(QLatin1String("cut short")));
    }

    // The real program killed with SIGKILL: what it wrote is a readable log.
    const QString killed = dir_.filePath(QStringLiteral("killed.csv"));
    QProcess p;
    p.start(QStringLiteral(LOOPTEST_PROGRAM),
            {QStringLiteral("--headless"), QStringLiteral("--device=sim:relay-never-closes=2"),
             QStringLiteral("--duration=1h"), QStringLiteral("--step=20"), QStringLiteral("--log"),
             killed});
    QVERIFY(p.waitForStarted());
    // Killed once its first mismatch is in the file, however long a busy machine takes.
    QTRY_VERIFY_WITH_TIMEOUT(
        QFile::exists(killed) &&
            [&] {
                QFile f(killed);
                return f.open(QIODevice::ReadOnly) && f.readAll().contains(",mismatch,");
            }(),
        60000);
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    QVERIFY(p.waitForFinished());
    QVERIFY2(readRunLog(killed, s, why), qPrintable(why));
    QCOMPARE(s.state, RunSummary::State::CutShort);
    QCOMPARE(s.firstErrorLane, 2); // its first mismatch is there
}

// A clock that moves a millisecond each time it is read: a checkpoint's rows would straddle
// ticks if each took its own time. All rows of a checkpoint carry one time, and the log cut
// after any row reads back with every relay's count at least that of its last whole
// checkpoint. A log of a program that gave each row its own time reads the same way.
void TstRunLog::aCheckpointIsOneMomentAndACutLogKeepsIt() {
    const QString path = dir_.filePath(QStringLiteral("moment.csv"));
    {
        Run run(SimulatorFault{Kind::SwappedWires, 2, 9}, path);
        qint64 ticks = 0;
        run.recorder = std::make_unique<RunRecorder>(
            run.w.results(), [&run, &ticks] { return run.nowMs + ticks++; });
        QFile::remove(path);
        QString why;
        QVERIFY(run.recorder->startLog(path, QStringLiteral("test run"), {}, why));
        run.w.autoCmd_Click();
        run.steps(12'000);
        run.recorder.reset(); // the program closed
    }
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    // The checkpoints as written: the counts of each, and where its last row ends.
    struct Mark {
        qint64 end;
        std::array<std::int64_t, 16> counts{};
    };
    std::vector<Mark> marks;
    QString previousEvent, time;
    qint64 at = 0;
    for (const QByteArray& line : all.split('\n')) {
        at += line.size() + 1;
        const QStringList r = splitCsv(QString::fromUtf8(line.trimmed()));
        if (r.value(2) == QLatin1String("checkpoint")) {
            if (previousEvent != QLatin1String("checkpoint"))
                marks.push_back({});
            else
                QCOMPARE(r[0], time); // one checkpoint, one moment
            time = r[0];
            marks.back().end = at;
            marks.back().counts[r[3].toInt()] = r[6].toLongLong();
        }
        previousEvent = r.value(2);
    }
    QVERIFY(marks.size() >= 3);
    QVERIFY(std::count_if(marks[1].counts.begin(), marks[1].counts.end(),
                          [](std::int64_t c) { return c > 0; }) >= 2);
    // Cut after every row from the start row on.
    const qint64 started = all.indexOf('\n', all.indexOf('\n') + 1) + 1;
    for (qint64 cut = started; cut < all.size(); cut = all.indexOf('\n', cut) + 1) {
        QByteArray part = all.left(cut);
        QBuffer buffer(&part);
        buffer.open(QIODevice::ReadOnly);
        RunSummary s;
        readRunLog(buffer, s);
        QVERIFY2(s.state != RunSummary::State::Damaged, qPrintable(s.damage));
        const Mark* last = nullptr;
        for (const Mark& m : marks)
            if (m.end <= cut)
                last = &m;
        for (int r = 0; last && r < 16; ++r)
            QVERIFY2(s.errors[r] >= last->counts[r],
                     qPrintable(QStringLiteral("cut at %1: relay %2").arg(cut).arg(r)));
    }
    // Written with a time per row, as before: the checkpoint's rows still read as one.
    const QByteArray old =
        QByteArray(logformat::kHeader) +
        "\r\n"
        "2026-12-07T08:00:00.000+01:00,0,start,,,,,old,\r\n"
        "2026-12-07T08:00:01.000+01:00,5,mismatch,2,04,FF,1,a,input-inactive\r\n"
        "2026-12-07T08:00:01.000+01:00,6,mismatch,9,02,FF,1,b,input-inactive\r\n"
        "2026-12-07T08:01:00.999+01:00,9,checkpoint,2,,,1,,\r\n"
        "2026-12-07T08:01:01.000+01:00,9,checkpoint,9,,,1,,\r\n"
        "2026-12-07T08:01:02.000+01:00,9,mismatch,2,04,FF,1,c,input-inactive\r\n";
    QByteArray copy = old;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    RunSummary s;
    readRunLog(buffer, s);
    QCOMPARE(s.state, RunSummary::State::CutShort);
    QCOMPARE(s.errors[2], 1);
    QCOMPARE(s.errors[9], 1);
    QCOMPARE(s.afterCheckpoint, 1);
}

void TstRunLog::aLogThatCannotBeWrittenIsOneWarning() {
    // A record of an older format is not added to: rows under another header would be damage.
    const QString older = dir_.filePath(QStringLiteral("older.csv"));
    QFile::copy(QStringLiteral(LOOPTEST_TEST_DATA "/eight-column-swap.csv"), older);
    for (const QString& log :
         {QStringLiteral("/proc/no-such-folder/run.csv"), QStringLiteral("/dev/full"), older}) {
        QProcess p;
        p.start(QStringLiteral(LOOPTEST_PROGRAM),
                {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                 QStringLiteral("--loops=20"), QStringLiteral("--step=20"), QStringLiteral("--log"),
                 log});
        QVERIFY(p.waitForFinished(30000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), 0); // the test went on and passed
        QCOMPARE(err.count(QLatin1String("without a record")), 1);
        QVERIFY(p.readAllStandardOutput().contains("loops: 20"));
    }
}

// Logs written before the kind column came read to the summaries they had then, but for the
// failed writes and a verdict that counts them (dead-after-8 read as PASS then), and their
// mismatches to the kinds that column now says for the same run.
void TstRunLog::eightColumnLogsReadAsBefore() {
    for (const char* name : {"swap", "dead", "dead-after-8", "reads"}) {
        const QString base = QStringLiteral(LOOPTEST_TEST_DATA "/eight-column-%1").arg(name);
        RunSummary old;
        QString why;
        QVERIFY2(readRunLog(base + QStringLiteral(".csv"), old, why), qPrintable(why));
        QFile expected(base + QStringLiteral(".summary"));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        QCOMPARE(summaryTable(old), QString::fromUtf8(expected.readAll()));
        if (QLatin1String(name) != QLatin1String("swap"))
            continue;
        const QString path = dir_.filePath(QStringLiteral("nine-column-swap.csv"));
        {
            Run run(SimulatorFault{Kind::SwappedWires, 2, 7}, path);
            run.w.autoCmd_Click();
            run.steps(64);
            run.w.Command1_Click();
        }
        RunSummary now;
        QVERIFY2(readRunLog(path, now, why), qPrintable(why));
        QCOMPARE(old.byLane, now.byLane);
        for (int relay : {2, 7}) // each of both kinds
            QVERIFY(now.byLane[relay][0] > 0 && now.byLane[relay][1] > 0);
    }
    // Kinds in unequal numbers, on both ports: each mismatch's kind is told by its relay's bit
    // in the byte its port last took; a failed write and read by their events.
    QByteArray old = QByteArray(logformat::kEightColumnHeader) +
                     "\r\n"
                     "2026-12-07T08:00:00.000+01:00,0,start,,,,,old\r\n"
                     "2026-12-07T08:00:01.000+01:00,3,mismatch,3,08,FF,1,a\r\n"
                     "2026-12-07T08:00:02.000+01:00,4,mismatch,3,09,FF,3,b\r\n"
                     "2026-12-07T08:00:03.000+01:00,5,mismatch,3,F7,08,1,c\r\n"
                     "2026-12-07T08:00:04.000+01:00,6,mismatch,12,10,FF,2,d\r\n"
                     "2026-12-07T08:00:05.000+01:00,7,mismatch,12,EF,00,5,e\r\n"
                     "2026-12-07T08:00:06.000+01:00,8,write-failed,12,10,,1,f\r\n"
                     "2026-12-07T08:00:07.000+01:00,9,read-failed,,,,2,g\r\n";
    QBuffer buffer(&old);
    buffer.open(QIODevice::ReadOnly);
    RunSummary s;
    readRunLog(buffer, s);
    QCOMPARE(s.state, RunSummary::State::CutShort);
    using K = ErrorKind;
    auto count = [&](int lane, K k) { return s.byLane[lane][static_cast<int>(k)]; };
    QCOMPARE(count(3, K::InputInactive), 4);
    QCOMPARE(count(3, K::InputActive), 1);
    QCOMPARE(count(12, K::InputInactive), 2);
    QCOMPARE(count(12, K::InputActive), 5);
    QCOMPARE(count(12, K::WriteFailed), 1);
    QCOMPARE(count(16, K::ReadFailed), 2);
}

void TstRunLog::theStartRowHoldsTheSettingsTheRunStartsWith() {
    const QString log = dir_.filePath(QStringLiteral("settings.csv"));
    QProcess p;
    p.start(QStringLiteral(LOOPTEST_PROGRAM),
            {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
             QStringLiteral("--loops=3"), QStringLiteral("--step=20"),
             QStringLiteral("--readback=7"), QStringLiteral("--log"), log});
    QVERIFY(p.waitForFinished(30000) && p.exitCode() == 0);
    const auto all = rows(log);
    QCOMPARE(all[1][2], QStringLiteral("start"));
    QVERIFY2(all[1][7].contains(QLatin1String("step period 20 ms; read-back delay 7 ms")),
             qPrintable(all[1][7]));
}

// A row of every event, with every field its form allows (a channel, bytes, a count, words
// holding a comma, quotes and a line break, or a line break alone, a kind), written by the
// log's writer and read back by its reader field for field.
void TstRunLog::everyEventReadsBackAsItWasWritten() {
    using logformat::Event;
    using logformat::Need;
    const QString path = dir_.filePath(QStringLiteral("every-event.csv"));
    QFile::remove(path);
    std::vector<logformat::LogRow> written;
    for (int e = 0; e <= static_cast<int>(Event::Note); ++e) {
        const logformat::EventForm& form = logformat::form(static_cast<Event>(e));
        logformat::LogRow r;
        // Times on both sides of 2038-01-19 (where a 32-bit time_t ends) and counts past 2^32.
        r.ms = 2'147'483'647'000 + 86'400'123 * (e - 4);
        r.loop = 4'294'967'290 + 7 * e;
        r.event = form.event;
        r.channel = form.channel == Need::None ? -1 : (e * 5 + 3) % 16;
        r.count = form.count == Need::None ? -1 : form.least + 4'294'967'296 + e;
        r.detail = e % 3 == 0   ? QStringLiteral("event %1, \"quoted\"\nand on").arg(e)
                   : e % 3 == 1 ? QStringLiteral("event %1\nand on").arg(e)
                                : QStringLiteral("event %1\r\nand on").arg(e);
        if (form.error) {
            r.written = 0x5A + e;
            r.read = 0xC3 - e;
            r.kind = form.event == Event::Mismatch     ? ErrorKind::InputActive
                     : form.event == Event::ReadFailed ? ErrorKind::ReadFailed
                                                       : ErrorKind::WriteFailed;
        }
        written.push_back(r);
    }
    {
        LogFile log;
        QString why;
        QVERIFY2(log.open(path, why), qPrintable(why));
        for (const auto& r : written)
            QVERIFY(log.write(r));
    }
    QFile in(path);
    QVERIFY(in.open(QIODevice::ReadOnly));
    std::size_t at = 0;
    QString why;
    const bool whole = eachRow(
        in, 0,
        [&](const logformat::ReadRow& row, qint64, qint64) {
            const logformat::LogRow& w = written.at(at++);
            const bool same = row.form->event == w.event && row.ms == w.ms && row.loop == w.loop &&
                              row.channel == w.channel && row.count == w.count &&
                              logformat::text(row.detail) == w.detail && row.written == w.written &&
                              row.read == w.read && (!w.kind || row.kind == *w.kind);
            if (!same)
                qWarning("the %s row reads back otherwise",
                         qPrintable(logformat::eventName(w.event)));
            return same;
        },
        why);
    QVERIFY2(whole, qPrintable(why));
    QCOMPARE(at, written.size());
}

// A long run's record may pass 2 GiB: it opens with its whole size and takes the next row at
// its end. (A 32-bit build without 64-bit file offsets cannot open it, or reads a wrong size.)
void TstRunLog::aRecordPastTwoGibibytesIsAppendedTo() {
    const QString path = dir_.filePath(QStringLiteral("past-2-gib.csv"));
    QString why;
    {
        LogFile log;
        QVERIFY2(log.open(path, why), qPrintable(why));
    }
    const qint64 big = (qint64(1) << 31) + 100;
    QVERIFY(QFile::resize(path, big)); // sparse: nothing is written
    LogFile log;
    QVERIFY2(log.open(path, why), qPrintable(why));
    QCOMPARE(log.bytes(), big);
    logformat::LogRow row;
    row.ms = 1'800'000'000'000;
    row.loop = 5;
    row.event = logformat::Event::Note;
    row.detail = QStringLiteral("past 2 GiB");
    QVERIFY(log.write(row));
    log.close();
    QFile in(path);
    QVERIFY(in.open(QIODevice::ReadOnly) && in.seek(big));
    const QByteArray tail = in.readAll();
    QVERIFY2(tail.endsWith(",note,,,,,past 2 GiB,\r\n"), tail.constData());
    QVERIFY(in.remove());
}

// A diagnosis's record: each channel's row holds that channel's class, words and figures, the
// same the JSON report gives, and reads back as a diagnosis.
void TstRunLog::theDiagnosisLogsEachChannelsOwnFigures() {
    const QString log = dir_.filePath(QStringLiteral("diagnosis.csv"));
    const QString json = dir_.filePath(QStringLiteral("diagnosis.json"));
    QProcess p;
    p.start(QStringLiteral(LOOPTEST_PROGRAM),
            {QStringLiteral("--diagnose"), QStringLiteral("--device=sim:slow=3,30+swap=9,12"),
             QStringLiteral("--log"), log, QStringLiteral("--json"), json});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 1); // the card is not ok
    QFile jf(json);
    QVERIFY(jf.open(QIODevice::ReadOnly));
    const QJsonArray channels = QJsonDocument::fromJson(jf.readAll())["channels"].toArray();
    QCOMPARE(channels.size(), 16);
    const auto all = rows(log);
    int seen = 0;
    for (const QStringList& r : all) {
        if (r.value(2) != QLatin1String("diagnosis"))
            continue;
        const QJsonObject c = channels[r[3].toInt()].toObject();
        const QString cls = c["class"].toString();
        QCOMPARE(r[6], cls == QLatin1String("ok") ? QStringLiteral("0") : QStringLiteral("1"));
        QVERIFY2(r[7].startsWith(cls + QStringLiteral(": ") + c["words"].toString()),
                 qPrintable(r[7]));
        const QJsonValue operate = c["operate_ms"];
        if (operate.isObject())
            QVERIFY2(r[7].contains(QStringLiteral("operate %1/%2/%3 ms")
                                       .arg(operate["min"].toDouble(), 0, 'f', 2)
                                       .arg(operate["median"].toDouble(), 0, 'f', 2)
                                       .arg(operate["max"].toDouble(), 0, 'f', 2)),
                     qPrintable(r[7]));
        ++seen;
    }
    QCOMPARE(seen, 16);
    RunSummary s;
    QString why;
    QVERIFY(readRunLog(log, s, why));
    QVERIFY(s.diagnosed);
    QCOMPARE(s.state, RunSummary::State::Complete);
    QVERIFY2(s.diagnosis[3].startsWith(QLatin1String("slow: ")), qPrintable(s.diagnosis[3]));
    QVERIFY2(s.diagnosis[9].startsWith(QLatin1String("miswired: ")), qPrintable(s.diagnosis[9]));
}

// The report of a run with one intermittent relay, in a real browser: its errors are drawn,
// and a healthy run's report has none.
void TstRunLog::theReportShowsTheErrorsInABrowser() {
    QStringList redPixels;
    for (const SimulatorFault& fault :
         {SimulatorFault{Kind::Intermittent, 6, 1, 10, 0, 20, 3}, SimulatorFault{}}) {
        const QString log = dir_.filePath(QStringLiteral("report.csv"));
        QFile::remove(log);
        {
            Run run(fault, log);
            run.w.autoCmd_Click();
            run.steps(20'000);
            run.w.Command1_Click();
        }
        const QString html = dir_.filePath(QStringLiteral("report.html"));
        const QString png = dir_.filePath(QStringLiteral("report.png"));
        QProcess summary;
        summary.start(QStringLiteral(LOOPTEST_PROGRAM),
                      {QStringLiteral("--summary"), log, QStringLiteral("--html"), html});
        QVERIFY(summary.waitForFinished(30000));
        QCOMPARE(summary.exitCode(), fault.kind == Kind::Healthy ? 0 : 1); // the verdict's
        QString why;
        QVERIFY2(screenshot(html, png, why), qPrintable(why));
        const QString kept = QStringLiteral(LOOPTEST_ARTEFACTS "/report-%1")
                                 .arg(fault.kind == Kind::Healthy ? "healthy" : "intermittent");
        QFile::remove(kept + QStringLiteral(".png"));
        QFile::remove(kept + QStringLiteral(".csv"));
        QFile::copy(png, kept + QStringLiteral(".png"));
        QFile::copy(log, kept + QStringLiteral(".csv"));
        // Reddish pixels: the bars of errors, and the legend's keys. Counted here rather than
        // by an image tool, whose arithmetic on channels differs between its versions.
        const QImage shotImage(png);
        QVERIFY(!shotImage.isNull());
        const QImage rgb = shotImage.convertToFormat(QImage::Format_RGB32);
        qint64 reddish = 0;
        for (int y = 0; y < rgb.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
            for (int x = 0; x < rgb.width(); ++x)
                reddish += qRed(line[x]) - qGreen(line[x]) > 0.12 * 255;
        }
        redPixels << QString::number(reddish);
    }
    // The healthy report has them in its legend alone; the faulty one has a bar a lane long.
    QVERIFY2(redPixels[1].toInt() < 500, qPrintable(redPixels.join(' ')));
    QVERIFY2(redPixels[0].toInt() > redPixels[1].toInt() + 5000, qPrintable(redPixels.join(' ')));
}

QTEST_MAIN(TstRunLog)
#include "tst_runlog.moc"
