// A card's health over its life: each relay's figures judged against limits, their course over
// the card's diagnoses, and who tested it.

#include "diagnosis/Diagnosis.h"
#include "diagnosis/Limits.h"
#include "lab/CardRun.h"
#include "lab/History.h"
#include "lab/LabDatabase.h"
#include "lab/LabQueue.h"
#include "support/Browser.h"
#include "support/JUnitReader.h"
#include "support/MetricsReader.h"
#include "support/Program.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

namespace {

// Writes text to a file in dir; its path.
QString file(const QTemporaryDir& dir, const QString& name, const QByteArray& text) {
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return f.fileName();
}

// The FLAG lines of a history, by relay.
QMap<int, QStringList> flagsOf(const QString& history) {
    QMap<int, QStringList> out;
    static const QRegularExpression flag(QStringLiteral("^FLAG relay (\\d+): (.*)$"),
                                         QRegularExpression::MultilineOption);
    for (auto it = flag.globalMatch(history); it.hasNext();) {
        const auto m = it.next();
        out[m.captured(1).toInt()] << m.captured(2);
    }
    return out;
}

// Relay r's measurements in a diagnosis's JSON, as "name of value verdict limit" lines.
QStringList measurementsOf(const QString& path, int relay) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QJsonObject channel = QJsonDocument::fromJson(f.readAll())
                                    .object()
                                    .value(QStringLiteral("channels"))
                                    .toArray()
                                    .at(relay)
                                    .toObject();
    QStringList out;
    for (const QJsonValue& v : channel.value(QStringLiteral("measurements")).toArray()) {
        const QJsonObject m = v.toObject();
        out << QStringLiteral("%1 %2 %3 %4 %5")
                   .arg(m.value(QStringLiteral("name")).toString(),
                        m.value(QStringLiteral("of")).toString())
                   .arg(m.value(QStringLiteral("value")).toDouble(), 0, 'f', 2)
                   .arg(m.value(QStringLiteral("verdict")).toString())
                   .arg(m.value(QStringLiteral("limit")).toDouble());
    }
    return out;
}

// Pixels of the red a flagged relay's chart is framed in.
qint64 flagRedPixels(const QString& png) {
    const QImage rgb = QImage(png).convertToFormat(QImage::Format_RGB32);
    qint64 n = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            n += qRed(line[x]) > 200 && qGreen(line[x]) < 40 && qBlue(line[x]) < 40;
    }
    return n;
}

LabDatabase::Diagnosed diagnosed(int relay, double operateMs, const QString& verdict = {}) {
    LabDatabase::Diagnosed d;
    for (LabDatabase::RelayFindings& f : d.relays) {
        f.kind = QStringLiteral("ok");
        f.operate = {0.2, 0.2, 0.2};
    }
    d.relays[relay].operate = {operateMs, operateMs, operateMs};
    d.relays[relay].operateVerdict = verdict;
    return d;
}

} // namespace

class TstHealth : public QObject {
    Q_OBJECT
private slots:
    void limitsAreReadOrRefusedWithTheirLine();
    void aRelayIsFlaggedForWhatATechnicianShouldActOn();
    void aDiagnosisIsKeptWithEachFiguresWorseVerdict();
    void aQueueLineAndTheDatabaseKeepADiagnosisWhole();
    void aRelaySlowingDownOverFourDiagnoses();
    void aHeadlessRunJudgesItsRelaysLife();
    void aDatabaseOfTheSecondSchemaUpgradesKeepingEverything();
};

void TstHealth::limitsAreReadOrRefusedWithTheirLine() {
    QTemporaryDir dir;
    Limits l;
    std::string why;
    QVERIFY2(readLimits(file(dir, QStringLiteral("good.ini"),
                             "# a card type's limits\n[limits]\noperate-ms = 7.5\n; note\n"
                             "rated-life=100000\nmarginal = 0.9\n")
                            .toStdString(),
                        l, why),
             why.c_str());
    QCOMPARE(l.operateMs, 7.5);
    QCOMPARE(l.ratedLife, 1e5);
    QCOMPARE(l.marginal, 0.9);
    QCOMPARE(l.releaseMs, Limits{}.releaseMs); // not given: the default
    const std::pair<QByteArray, QString> refused[] = {
        {"[limits]\noperate-ms = 7\noperate = 3\n", QStringLiteral(":3: unknown key")},
        {"[limits]\n\nbounce-ms = -1\n", QStringLiteral(":3: bounce-ms takes a positive")},
        {"[limits]\nrelease-ms = 10ms\n", QStringLiteral(":2: release-ms takes a positive")},
        {"[limits]\nbounces = 0\n", QStringLiteral(":2: bounces takes a positive")},
        {"[limits]\nmarginal = 1\n", QStringLiteral(":2: marginal takes a fraction")},
        {"operate-ms = 7\n[limits]\n", QStringLiteral(":1: limits belong in the [limits]")},
        {"[limits]\noperate-ms\n", QStringLiteral(":2: expected KEY = VALUE")},
    };
    for (const auto& [text, expected] : refused) {
        Limits kept;
        kept.operateMs = 42;
        QVERIFY2(!readLimits(file(dir, QStringLiteral("bad.ini"), text).toStdString(), kept, why),
                 text.constData());
        QVERIFY2(QString::fromStdString(why).contains(expected), why.c_str());
        QCOMPARE(kept.operateMs, 42.0); // a refused file changes nothing
    }
    // The edges: at the limit is not past it; at the marginal fraction is not past that.
    QCOMPARE(judge(10, 10, 0.8), Verdict::Marginal);
    QCOMPARE(judge(10.01, 10, 0.8), Verdict::Fail);
    QCOMPARE(judge(8, 10, 0.8), Verdict::Pass);
    QCOMPARE(judge(8.01, 10, 0.8), Verdict::Marginal);

    // The program refuses a bad file before it runs, with the line, and never writes a report
    // over the limits it reads.
    const QString bad = file(dir, QStringLiteral("bad.ini"), "[limits]\nbounce = 2\n");
    const Program p = run(dir, {QStringLiteral("--diagnose"), QStringLiteral("--device=sim"),
                                QStringLiteral("--no-log"), QStringLiteral("--limits"), bad});
    QCOMPARE(p.status, 64);
    QVERIFY2(p.err.contains(bad + QStringLiteral(":2: unknown key \"bounce\"")), qPrintable(p.err));
    const QString good = file(dir, QStringLiteral("good.ini"), "[limits]\noperate-ms = 7\n");
    const Program same = run(dir, {QStringLiteral("--diagnose"), QStringLiteral("--device=sim"),
                                   QStringLiteral("--no-log"), QStringLiteral("--limits"), good,
                                   QStringLiteral("--json"), good});
    QCOMPARE(same.status, 64);
    QVERIFY(same.err.contains(QLatin1String("over the limits it reads")));
    QFile kept(good);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("[limits]\noperate-ms = 7\n"));

    // The settings file names the operator and the limits where the command line does not.
    QDir().mkpath(dir.filePath(QStringLiteral("config/looptest")));
    file(dir, QStringLiteral("config/looptest/looptest.conf"),
         "[General]\noperator=Di\nlimits=" + good.toUtf8() + "\n");
    const QString json = dir.filePath(QStringLiteral("d.json"));
    QCOMPARE(run(dir, {QStringLiteral("--diagnose"), QStringLiteral("--device=sim:slow=2,8"),
                       QStringLiteral("--readback=20"), QStringLiteral("--no-log"),
                       QStringLiteral("--json"), json})
                 .status,
             1); // 8 ms is past the file's 7
    QFile report(json);
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QJsonObject top = QJsonDocument::fromJson(report.readAll()).object();
    QCOMPARE(top.value(QStringLiteral("operator")).toString(), QStringLiteral("Di"));
    QCOMPARE(top.value(QStringLiteral("limits")).toObject().value(QStringLiteral("source")),
             QJsonValue(good));
}

void TstHealth::aRelayIsFlaggedForWhatATechnicianShouldActOn() {
    Limits limits;
    auto flags = [&](const std::vector<LabDatabase::Diagnosed>& ds, std::int64_t closings = 0) {
        LabDatabase::History h;
        h.card = QStringLiteral("LT-1");
        h.diagnoses = ds;
        h.relays[2].closings = closings;
        const auto trends = relayTrends(h, limits);
        QStringList out;
        for (int r = 0; r < 16; ++r)
            for (const QString& f : trends[r].flags)
                out << QStringLiteral("%1: %2").arg(r).arg(f);
        return out;
    };
    // Growth: by half and 1 ms at least, from the first diagnosis to the latest.
    QVERIFY(flags({diagnosed(2, 3.0), diagnosed(2, 4.4)}).isEmpty());
    const QStringList grew = flags({diagnosed(2, 3.0), diagnosed(2, 1.0), diagnosed(2, 4.5)});
    QCOMPARE(grew.size(), 1);
    QVERIFY2(grew[0].startsWith(QLatin1String("2: its operate time grew from 3.00 to 4.50 ms")),
             qPrintable(grew[0]));
    QVERIFY(flags({diagnosed(2, 0.5), diagnosed(2, 0.9)}).isEmpty()); // within the sampling
    // The latest verdict counts, not an earlier one.
    QVERIFY(flags({diagnosed(2, 9, QStringLiteral("marginal")),
                   diagnosed(2, 7, QStringLiteral("pass"))})
                .isEmpty());
    const QStringList marginal = flags(
        {diagnosed(2, 7, QStringLiteral("pass")), diagnosed(2, 9, QStringLiteral("marginal"))});
    QCOMPARE(marginal.size(), 1);
    QVERIFY2(marginal[0].contains(QLatin1String("marginal against the 10 ms limit: plan to")),
             qPrintable(marginal[0]));
    LabDatabase::Diagnosed open = diagnosed(2, 1);
    open.relays[7].kind = QStringLiteral("open");
    QCOMPARE(flags({open}).size(), 1);
    QVERIFY(flags({open})[0].startsWith(QLatin1String("7: its latest diagnosis")));
    // Life: the marginal part of the rated life, whether or not it was ever diagnosed.
    QVERIFY(flags({}, std::int64_t(limits.ratedLife * 0.79)).isEmpty());
    const QStringList worn = flags({}, std::int64_t(limits.ratedLife * 0.85));
    QCOMPARE(worn.size(), 1);
    QVERIFY2(worn[0].contains(QLatin1String("used 85.0% of its rated life")), qPrintable(worn[0]));
}

// What the lab keeps of a diagnosis: a figure whose median passes but whose worst does not is
// kept at its worse verdict; a channel of another class than ok fails, whatever its times.
void TstHealth::aDiagnosisIsKeptWithEachFiguresWorseVerdict() {
    DiagnosisReport report;
    for (int r = 0; r < 16; ++r) {
        ChannelDiagnosis& c = report.channels[r];
        c.relay = r;
        c.input = 15 - r;
        c.kind = ChannelDiagnosis::Class::Ok;
        c.operate = {1.0, 2.0, 3.0};
        c.release = {1.0, 1.0, 1.0};
        c.bounce = {0.1, 0.2, 0.3};
    }
    report.channels[3].operate = {4.0, 5.0, 11.0}; // its worst past 10 ms
    report.channels[6].release = {8.5, 8.5, 8.5};  // marginal
    report.channels[9].kind = ChannelDiagnosis::Class::Intermittent;
    Limits limits;
    limits.bounceMs = 2.5;
    judgeDiagnosis(report, limits);
    QVERIFY(!report.passed());
    const LabDatabase::Diagnosis d = findingsOf(report);
    auto verdicts = [&](int r) {
        const LabDatabase::RelayFindings& f = d.relays[r];
        return QStringList{f.kind,          f.operateVerdict, f.releaseVerdict,
                           f.bounceVerdict, f.bouncesVerdict, f.verdict}
            .join(' ');
    };
    QCOMPARE(verdicts(0), QStringLiteral("ok pass pass pass pass pass"));
    QCOMPARE(verdicts(3), QStringLiteral("ok fail pass pass pass fail"));
    QCOMPARE(verdicts(6), QStringLiteral("ok pass marginal pass pass marginal"));
    QCOMPARE(verdicts(9), QStringLiteral("intermittent pass pass pass pass fail"));
    QVERIFY(d.relays[3].operate == (LabDatabase::Times{4.0, 5.0, 11.0}));
    QCOMPARE(d.limits.size(), Limits::keys().size());
    QVERIFY(std::find(d.limits.begin(), d.limits.end(),
                      std::pair{QStringLiteral("bounce-ms"), 2.5}) != d.limits.end());
}

void TstHealth::aQueueLineAndTheDatabaseKeepADiagnosisWhole() {
    labqueue::Entry e;
    e.seq = 3;
    LabDatabase::Run& r = e.run;
    r.uid = QStringLiteral("0b7d2f3e-6e1c-4f6c-9a55-5a1d2b6c7e01");
    r.card = QStringLiteral("LT-5");
    r.host = QStringLiteral("bench-2");
    r.device = QStringLiteral("sim");
    r.started =
        QDateTime::fromString(QStringLiteral("2026-12-01T08:00:00.000Z"), Qt::ISODateWithMs);
    r.ended = r.started.addSecs(3);
    r.ending = QStringLiteral("diagnosed");
    r.verdict = QStringLiteral("fail");
    r.operatorName = QStringLiteral("Ann Smith");
    LabDatabase::Diagnosis d;
    d.limits = {{QStringLiteral("operate-ms"), 7.5}, {QStringLiteral("marginal"), 0.8}};
    for (int k = 0; k < 16; ++k) {
        LabDatabase::RelayFindings& f = d.relays[k];
        f.kind = k == 9 ? QStringLiteral("open") : QStringLiteral("ok");
        // Each time of its own, so that a column written for another reads wrong.
        if (k != 9) {
            f.operate = {k + 0.1, k + 0.2, k + 0.3};
            f.release = {k + 0.4, k + 0.5, k + 0.6};
            f.bounce = {k + 0.7, std::nullopt, k + 0.9};
        }
        f.bounces = k;
        f.operateVerdict = k == 8 ? QStringLiteral("fail") : QStringLiteral("pass");
        f.releaseVerdict = QStringLiteral("marginal");
        f.bounceVerdict = QStringLiteral("pass");
        f.bouncesVerdict = k == 9 ? QString() : QStringLiteral("pass");
        f.verdict = k == 8 || k == 9 ? QStringLiteral("fail") : QStringLiteral("marginal");
    }
    r.diagnosis = d;
    const std::optional<labqueue::Entry> back = labqueue::parse(labqueue::line(e));
    QVERIFY(back);
    QCOMPARE(back->run.operatorName, r.operatorName);
    QVERIFY(back->run.diagnosis == r.diagnosis);
    // A line of before reads without them; a diagnosis cut short does not read at all.
    labqueue::Entry plain = e;
    plain.run.diagnosis.reset();
    plain.run.operatorName.clear();
    QByteArray text = labqueue::line(plain);
    QVERIFY(!text.contains("operator") && !text.contains("diagnosis"));
    QVERIFY(labqueue::parse(text) && !labqueue::parse(text)->run.diagnosis);
    text = labqueue::line(e);
    text.replace("\"class\":\"open\"", "\"class\":\"\"");
    QVERIFY(!labqueue::parse(text));

    // Written to the database, read back as the history has it.
    QTemporaryDir dir;
    LabDatabase db(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("lab.sqlite")));
    QString why;
    QVERIFY2(db.open(why) && db.knowCard(r.card, nullptr, why), qPrintable(why));
    for (int twice = 0; twice < 2; ++twice) // a delivery repeated replaces, never adds
        QVERIFY2(db.writeRun(r, why), qPrintable(why));
    LabDatabase::History h;
    bool known = false;
    QVERIFY2(db.history(r.card, 10, h, known, why), qPrintable(why));
    QCOMPARE(h.runs, 1);
    QCOMPARE(h.lastRuns.at(0).operatorName, r.operatorName);
    QCOMPARE(h.diagnoses.size(), std::size_t(1));
    QCOMPARE(h.diagnoses[0].started, r.started);
    for (int k = 0; k < 16; ++k)
        QVERIFY2(h.diagnoses[0].relays[k] == d.relays[k], qPrintable(QString::number(k)));
}

// Four diagnoses of one card whose relay 4 slows down, 3, 6, 9 and 12 ms against the 10 ms
// limit: pass, pass, marginal, fail, as the reports, the exit status and the history say.
void TstHealth::aRelaySlowingDownOverFourDiagnoses() {
    QTemporaryDir dir;
    const QString json = dir.filePath(QStringLiteral("d.json"));
    const QString junit = dir.filePath(QStringLiteral("d.xml"));
    const QStringList verdicts{QStringLiteral("pass"), QStringLiteral("pass"),
                               QStringLiteral("marginal"), QStringLiteral("fail")};
    int k = 0;
    for (int ms : {3, 6, 9, 12}) {
        const Program p = run(
            dir, {QStringLiteral("--diagnose"), QStringLiteral("--device=sim:slow=4,%1").arg(ms),
                  QStringLiteral("--readback=20"), QStringLiteral("--card=LT-90"),
                  QStringLiteral("--operator=Ann Smith"), QStringLiteral("--no-log"),
                  QStringLiteral("--json"), json, QStringLiteral("--junit"), junit});
        QCOMPARE(p.status, ms < 10 ? 0 : 1);
        const QString v = verdicts[k++];
        QCOMPARE(measurementsOf(json, 4).mid(0, 2),
                 (QStringList{QStringLiteral("operate median %1.00 %2 10").arg(ms).arg(v),
                              QStringLiteral("operate worst %1.00 %2 10").arg(ms).arg(v)}));
        for (int r : {3, 5})
            QVERIFY(!measurementsOf(json, r).join(' ').contains(QLatin1String("fail")));
        QVERIFY2(p.out.contains(
                     v == QLatin1String("marginal")
                         ? QStringLiteral("verdict: PASS (2 figures marginal)")
                         : QStringLiteral("verdict: %1\n")
                               .arg(ms < 10 ? QStringLiteral("PASS") : QStringLiteral("FAIL"))),
                 qPrintable(p.out));
    }
    QString why;
    const QString read = readJUnit(junit, why);
    QVERIFY2(read.startsWith(QLatin1String("looptest diagnosis 16 1\nrelay 4 -> input 11 "
                                           "operate median 12.00 ms, past its limit of 10 ms")),
             qPrintable(read + why));

    // A healthy card diagnosed once, for its page's sake.
    const Program healthyCard =
        run(dir, {QStringLiteral("--diagnose"), QStringLiteral("--device=sim"),
                  QStringLiteral("--card=LT-91"), QStringLiteral("--no-log")});
    QVERIFY2(healthyCard.status == 0, qPrintable(healthyCard.err));
    const QString page = dir.filePath(QStringLiteral("history.html"));
    const Program history = run(dir, {QStringLiteral("--card-history=LT-90"),
                                      QStringLiteral("--html"), page, QStringLiteral("--runs=3")});
    QCOMPARE(history.status, 0);
    const QMap<int, QStringList> flags = flagsOf(history.out);
    QCOMPARE(flags.keys(), QList<int>{4});
    QVERIFY2(flags[4].join('\n').contains(QLatin1String("operate time grew from 3.00 to 12.00 ms")),
             qPrintable(history.out));
    QVERIFY2(flags[4].join('\n').contains(QLatin1String("12.00 ms at worst, is past the 10 ms")),
             qPrintable(history.out));
    QVERIFY2(history.out.contains(QLatin1String("3.00 -> 12.00 (+300%)")), qPrintable(history.out));
    QCOMPARE(history.out.count(QLatin1String(" Ann Smith ")), 3); // --runs 3: the last three

    // The pages in a real browser: the flagged relay's chart framed in red, none on the healthy
    // card's.
    const QString healthy = dir.filePath(QStringLiteral("healthy.html"));
    const Program healthyHistory =
        run(dir, {QStringLiteral("--card-history=LT-91"), QStringLiteral("--html"), healthy});
    QVERIFY2(healthyHistory.status == 0, qPrintable(healthyHistory.err));
    QList<qint64> red;
    for (const QString& html : {page, healthy}) {
        const QString png = html + QStringLiteral(".png");
        QVERIFY2(screenshot(html, png, why), qPrintable(why));
        red << flagRedPixels(png);
    }
    QVERIFY2(red[0] > 1000 && red[1] == 0,
             qPrintable(QStringLiteral("%1 %2").arg(red[0]).arg(red[1])));
}

void TstHealth::aHeadlessRunJudgesItsRelaysLife() {
    QTemporaryDir dir;
    // Each run's closings as its metrics count them: a busy machine may close a relay again
    // before a late read-back, so they are counted, not reckoned from the loops.
    std::int64_t closings = 0;
    auto walk = [&](const QByteArray& life) {
        const QString limits =
            file(dir, QStringLiteral("life.ini"), "[limits]\nrated-life = " + life + "\n");
        const QString metrics = dir.filePath(QStringLiteral("run.prom"));
        const Program p =
            run(dir, {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                      QStringLiteral("--loops=160"), QStringLiteral("--step=20"),
                      QStringLiteral("--card=LT-93"), QStringLiteral("--operator=Cy"),
                      QStringLiteral("--log"), dir.filePath(QStringLiteral("run.csv")),
                      QStringLiteral("--limits"), limits, QStringLiteral("--metrics"), metrics,
                      QStringLiteral("--junit"), dir.filePath(QStringLiteral("h.xml"))});
        closings += closingsOf(metrics)[0];
        return p;
    };
    const Program young = walk("1000");
    QCOMPARE(young.status, 0);
    // Who tested where: in the log's start row and the report's properties.
    QFile log(dir.filePath(QStringLiteral("run.csv")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains(",start,,,,,device: Loop-back simulator (no card needed); "
                                   "settings: healthy wiring; card LT-93; operator Cy; host "));
    QFile xml(dir.filePath(QStringLiteral("h.xml")));
    QVERIFY(xml.open(QIODevice::ReadOnly));
    QVERIFY(xml.readAll().contains("<property name=\"operator\" value=\"Cy\"/>"));
    QVERIFY2(!young.out.contains(QLatin1String("life used")), qPrintable(young.out));
    // 160 loops close each relay 10 times at least; over the card's two runs, 20 or more
    // against a life of 15.
    const Program old = walk("15");
    QCOMPARE(old.status, 1);
    QVERIFY(closings >= 20);
    const QString words =
        QStringLiteral("life used %1 closings, past its limit of 15 closings").arg(closings);
    QVERIFY2(old.out.contains(QStringLiteral("relay 0: ") + words + QLatin1Char('\n')),
             qPrintable(old.out));
    QVERIFY(old.out.endsWith(QLatin1String("verdict: FAIL\n")));
    QString why;
    const QString read = readJUnit(dir.filePath(QStringLiteral("h.xml")), why);
    QVERIFY2(read.startsWith(QStringLiteral("looptest 18 16\nrelay 0 -> input 15 ") + words),
             qPrintable(read + why));
}

// A database as today's program left it (schema 2) takes the new schema with every run and
// count kept, and takes new runs with their operator beside the old ones.
void TstHealth::aDatabaseOfTheSecondSchemaUpgradesKeepingEverything() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lab.sqlite"));
    QProcess make;
    make.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import sqlite3, sys\n"
                               "db = sqlite3.connect(sys.argv[1])\n"
                               "db.executescript(open(sys.argv[2]).read())\n"
                               "print(' '.join(str(c) for (c,) in db.execute('SELECT "
                               "SUM(closings) FROM run_relays JOIN runs ON runs.id = run WHERE "
                               "card = ? GROUP BY relay ORDER BY relay', ('LT-80',))))\n"),
                path, QStringLiteral(LOOPTEST_SOURCE "/tests/lab/schema_v2.sql")});
    QVERIFY(make.waitForFinished(30000));
    QCOMPARE(make.exitCode(), 0);
    const QStringList before = QString::fromUtf8(make.readAllStandardOutput()).split(' ');
    QCOMPARE(before.size(), 16);
    const QString lab = QStringLiteral("--lab-db=sqlite:") + path;
    const QString metrics = dir.filePath(QStringLiteral("run.prom"));
    QCOMPARE(run(dir, {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                       QStringLiteral("--loops=32"), QStringLiteral("--step=20"),
                       QStringLiteral("--no-log"), QStringLiteral("--card=LT-80"),
                       QStringLiteral("--operator=Bo"), QStringLiteral("--metrics"), metrics, lab})
                 .status,
             0);
    const std::array<std::int64_t, 16> added = closingsOf(metrics);
    const Program history = run(dir, {QStringLiteral("--card-history=LT-80"), lab});
    QCOMPARE(history.status, 0);
    QVERIFY2(history.out.startsWith(QLatin1String("card LT-80: 5 runs, first seen")),
             qPrintable(history.out));
    for (int r = 0; r < 16; ++r) {
        const QRegularExpression row(QStringLiteral("^ +%1 +(\\d+) +(\\d+) ").arg(r),
                                     QRegularExpression::MultilineOption);
        const auto m = row.match(history.out);
        QVERIFY2(m.hasMatch(), qPrintable(history.out));
        QVERIFY(added[r] >= 2);
        QCOMPARE(m.captured(1).toLongLong(), before[r].toLongLong() + added[r]);
        QCOMPARE(m.captured(2).toLongLong(), r == 5 ? 2 : 0); // the dump's errors, kept
    }
    // The new run named its operator; the four of before name none, and kept their endings.
    const QStringList lines = history.out.split(QLatin1Char('\n'));
    qsizetype at = 0;
    while (at < lines.size() && !lines[at].startsWith(QLatin1String("started ")))
        ++at;
    QVERIFY(at < lines.size());
    QStringList runs;
    for (const QString& line : lines.mid(at + 1, 5))
        runs << line.simplified().split(QLatin1Char(' ')).mid(3, 3).join(QLatin1Char(' '));
    QCOMPARE(runs, (QStringList{QStringLiteral("Bo ended pass"), QStringLiteral("- ended fail"),
                                QStringLiteral("- ended pass"), QStringLiteral("- diagnosed pass"),
                                QStringLiteral("- ended pass")}));
}

QTEST_MAIN(TstHealth)
#include "tst_health.moc"
