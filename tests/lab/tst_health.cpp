// A card's health over its life: each relay's figures judged against limits, their course over
// the card's diagnoses, and who tested it.

#include "diagnosis/Diagnosis.h"
#include "lab/CardRun.h"
#include "lab/History.h"
#include "lab/LabQueue.h"
#include "support/Browser.h"
#include "support/JUnitReader.h"
#include "support/MetricsReader.h"
#include "support/Program.h"

#include <QDir>
#include <QImage>
#include <QtTest>

namespace {

QString file(const QTemporaryDir& dir, const QString& name, const QByteArray& text) {
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return f.fileName();
}

// Pixels of the red a flagged relay's chart is framed in.
qint64 flagRedPixels(const QString& png) {
    const QImage rgb = QImage(png).convertToFormat(QImage::Format_RGB32);
    qint64 n = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb c = rgb.pixel(x, y);
            n += qRed(c) > 200 && qGreen(c) < 40 && qBlue(c) < 40;
        }
    return n;
}

// A diagnosis in which relay 2 operates in ms, judged verdict; the others in 0.2 ms.
LabDatabase::Diagnosed diagnosed(double ms, const char* verdict = "") {
    LabDatabase::Diagnosed d;
    for (LabDatabase::RelayFindings& f : d.relays)
        f.kind = QStringLiteral("ok"), f.operate = {0.2, 0.2, 0.2};
    d.relays[2].operate = {ms, ms, ms};
    d.relays[2].operateVerdict = QLatin1String(verdict);
    return d;
}

} // namespace

class TstHealth : public QObject {
    Q_OBJECT
private slots:
    void limitsAreReadOrRefusedWithTheirLine();
    void aRelayIsFlaggedForWhatATechnicianShouldActOn();
    void aDiagnosisIsKeptWholeByTheLab();
    void aRelaySlowingDownOverFourDiagnoses();
    void aHeadlessRunOnADatabaseOfTheSecondSchema();
};

void TstHealth::limitsAreReadOrRefusedWithTheirLine() {
    QTemporaryDir dir;
    Limits l;
    std::string why;
    QVERIFY2(readLimits(file(dir, QStringLiteral("good.ini"),
                             "# a card type's limits\n[limits]\noperate-ms = 7.5\n; note\n"
                             "marginal=0.9\n")
                            .toStdString(),
                        l, why),
             why.c_str());
    QVERIFY(l.operateMs == 7.5 && l.marginal == 0.9 && l.releaseMs == Limits{}.releaseMs);
    const std::pair<QByteArray, QString> refused[] = {
        {"[limits]\noperate-ms = 7\noperate = 3\n", QStringLiteral(":3: unknown key")},
        {"[limits]\nrelease-ms = 10ms\n", QStringLiteral(":2: release-ms takes a positive")},
        {"[limits]\n\nbounces = -4\n", QStringLiteral(":3: bounces takes a positive")},
        {"[limits]\nrated-life = 0\n", QStringLiteral(":2: rated-life takes a positive")},
        {"[limits]\nmarginal = 1\n", QStringLiteral(":2: marginal takes a fraction")},
        {"operate-ms = 7\n[limits]\n", QStringLiteral(":1: limits belong in the [limits]")},
    };
    for (const auto& [text, expected] : refused) {
        Limits kept;
        kept.operateMs = 42;
        QVERIFY(!readLimits(file(dir, QStringLiteral("bad.ini"), text).toStdString(), kept, why));
        QVERIFY2(QString::fromStdString(why).contains(expected), why.c_str());
        QCOMPARE(kept.operateMs, 42.0); // a refused file changes nothing
    }
    // Errors per million of the relay's closings, not of its loops or its errors.
    QCOMPARE(judgeErrors(5, 2'000'000, Limits{}).value, 2.5);
    QVERIFY(judgeErrors(150, 1'000'000, Limits{}).verdict == Verdict::Fail);
    QCOMPARE(judgeErrors(1, 0, Limits{}).value, 1e6); // errors and no closing: never a pass
    // A life in words a technician reads, not "1e+07".
    QCOMPARE(judgeLife(20'000'000, Limits{}).words(),
             "life used 20000000 closings, past its limit of 10000000 closings");
    // At the limit is not past it; at the marginal fraction is not past that.
    QVERIFY(judge(10, 10, 0.8) == Verdict::Marginal && judge(10.01, 10, 0.8) == Verdict::Fail);
    QVERIFY(judge(8, 10, 0.8) == Verdict::Pass && judge(8.01, 10, 0.8) == Verdict::Marginal);
}

void TstHealth::aRelayIsFlaggedForWhatATechnicianShouldActOn() {
    const Limits limits;
    auto flags = [&](const std::vector<LabDatabase::Diagnosed>& ds, std::int64_t closings = 0) {
        LabDatabase::History h;
        h.diagnoses = ds;
        h.relays[2].closings = closings;
        const auto trends = relayTrends(h, limits);
        QStringList out;
        for (int r = 0; r < 16; ++r)
            for (const QString& f : trends[r].flags)
                out << QStringLiteral("%1: %2").arg(r).arg(f);
        return out.join('\n');
    };
    // Growth by half and 1 ms at least, from the first diagnosis to the latest.
    QCOMPARE(flags({diagnosed(3.0), diagnosed(4.4)}), QString());
    QVERIFY(flags({diagnosed(3.0), diagnosed(1.0), diagnosed(4.5)})
                .startsWith(QLatin1String("2: its operate time grew from 3.00 to 4.50 ms")));
    QCOMPARE(flags({diagnosed(0.5), diagnosed(0.9)}), QString()); // within the sampling
    // The latest verdict counts, not an earlier one.
    QCOMPARE(flags({diagnosed(9, "marginal"), diagnosed(7, "pass")}), QString());
    QVERIFY(flags({diagnosed(7, "pass"), diagnosed(9, "marginal")})
                .contains(QLatin1String("marginal against the 10 ms limit: plan to")));
    LabDatabase::Diagnosed open = diagnosed(1);
    open.relays[7].kind = QStringLiteral("open");
    QVERIFY(flags({open}).startsWith(QLatin1String("7: its latest diagnosis")));
    // The number of bounces in one closing is judged as the times are: flagged by the latest
    // verdict, and its course is in the table and on the page.
    LabDatabase::Diagnosed calm = diagnosed(1), bouncy = diagnosed(1);
    calm.relays[5].bounces = 3;
    calm.relays[5].bouncesVerdict = QStringLiteral("pass");
    bouncy.relays[5].bounces = 12;
    bouncy.relays[5].bouncesVerdict = QStringLiteral("fail");
    QCOMPARE(flags({bouncy, calm}), QString());
    QVERIFY2(flags({calm, bouncy})
                 .contains(QRegularExpression(QStringLiteral(
                     "^5: its contacts bounced 12 times in one closing .*, past the limit of 10: "
                     "replace the relay$"))),
             qPrintable(flags({calm, bouncy})));
    bouncy.relays[5].bounces = 9;
    bouncy.relays[5].bouncesVerdict = QStringLiteral("marginal");
    QVERIFY(
        flags({calm, bouncy}).contains(QLatin1String("marginal against the limit of 10: plan")));
    LabDatabase::History h;
    h.card = QStringLiteral("LT-9");
    h.diagnoses = {calm, bouncy};
    h.relays[5] = {2'000'000, 5};
    const QString table = historyTable(h, limits);
    QVERIFY2(table.contains(QRegularExpression(QStringLiteral("\n    5 +2000000 +5 +2\\.5 "))) &&
                 table.contains(QRegularExpression(QStringLiteral("\n    5 .* 3 -> 9\n"))) &&
                 table.contains(QLatin1String("FLAG relay 5: its contacts bounced 9 times")),
             qPrintable(table));
    const QString page = historyHtml(h, limits);
    QVERIFY2(page.contains(QLatin1String("<td>3 -&gt; 9</td>")) &&
                 page.contains(QLatin1String("its contacts bounced 9 times")),
             qPrintable(page));
    // Life: the marginal part of the rated life, whether or not it was ever diagnosed.
    QCOMPARE(flags({}, std::int64_t(limits.ratedLife * 0.79)), QString());
    QVERIFY(flags({}, std::int64_t(limits.ratedLife * 0.85))
                .contains(QLatin1String("used 85.0% of its rated life")));
}

// A diagnosis as the lab keeps it: each figure at the worse of its median's and its worst's
// verdicts, a channel of another class failing; through a queue line and the database and back
// whole, each relay's times in their own columns.
void TstHealth::aDiagnosisIsKeptWholeByTheLab() {
    DiagnosisReport report;
    for (int r = 0; r < 16; ++r) {
        ChannelDiagnosis& c = report.channels[r];
        c.kind = ChannelDiagnosis::Class::Ok;
        c.operate = {r + 0.1, r / 4.0 + 0.2, r / 4.0 + 0.3};
        c.release = {0.4, 0.5, 0.6};
        c.bounce = {0.7, std::nullopt, 0.9};
    }
    report.channels[3].operate = {4.0, 5.0, 11.0}; // its worst past 10 ms
    report.channels[6].release = {8.5, 8.5, 8.5};  // marginal
    report.channels[9].kind = ChannelDiagnosis::Class::Intermittent;
    judgeDiagnosis(report, Limits{});
    const LabDatabase::Diagnosis d = findingsOf(report);
    auto verdicts = [&](int r) {
        const LabDatabase::RelayFindings& f = d.relays[r];
        return QStringList{f.kind, f.operateVerdict, f.releaseVerdict, f.verdict}.join(' ');
    };
    QCOMPARE(verdicts(3), QStringLiteral("ok fail pass fail"));
    QCOMPARE(verdicts(6), QStringLiteral("ok pass marginal marginal"));
    QCOMPARE(verdicts(9), QStringLiteral("intermittent pass pass fail"));

    labqueue::Entry e;
    e.seq = 3;
    LabDatabase::Run& r = e.run;
    r.uid = QStringLiteral("0b7d2f3e-6e1c-4f6c-9a55-5a1d2b6c7e01");
    r.card = QStringLiteral("LT-5");
    r.started = QDateTime::fromString(QStringLiteral("2026-12-01T08:00:00.000Z"), Qt::ISODate);
    r.ending = QStringLiteral("diagnosed");
    r.operatorName = QStringLiteral("Ann Smith");
    r.diagnosis = d;
    const std::optional<labqueue::Entry> back = labqueue::parse(labqueue::line(e));
    QVERIFY(back && back->run.operatorName == r.operatorName && back->run.diagnosis == d);
    // A line of before, without them, reads; a damaged diagnosis does not.
    QByteArray text = labqueue::line(e);
    QVERIFY(!labqueue::parse(text.replace("\"class\":\"ok\"", "\"class\":\"\"")));
    r.diagnosis.reset();
    QVERIFY(labqueue::parse(labqueue::line(e)));
    r.diagnosis = d;

    QTemporaryDir dir;
    LabDatabase db(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("lab.sqlite")));
    QString why;
    QVERIFY2(db.open(why) && db.knowCard(r.card, nullptr, why), qPrintable(why));
    for (int twice = 0; twice < 2; ++twice) // a delivery repeated replaces, never adds
        QVERIFY2(db.writeRun(r, why), qPrintable(why));
    LabDatabase::History h;
    bool known = false;
    QVERIFY2(db.history(r.card, 10, h, known, why), qPrintable(why));
    QCOMPARE(h.lastRuns.at(0).operatorName, r.operatorName);
    QCOMPARE(h.diagnoses.size(), std::size_t(1));
    for (int k = 0; k < 16; ++k)
        QVERIFY2(h.diagnoses[0].relays[k] == d.relays[k], qPrintable(QString::number(k)));
}

// Four diagnoses of one card whose relay 4 slows down, 3, 6, 9 and 12 ms against the 10 ms
// limit: pass, pass, marginal, fail, as the reports, the exit status and the history say. The
// operator and the limits come from the settings file.
void TstHealth::aRelaySlowingDownOverFourDiagnoses() {
    QTemporaryDir dir;
    const QString limits =
        file(dir, QStringLiteral("card.ini"), "[limits]\noperate-ms = 10\nrelease-ms = 20\n");
    QDir().mkpath(dir.filePath(QStringLiteral("config/looptest")));
    file(dir, QStringLiteral("config/looptest/looptest.conf"),
         "[General]\noperator=Ann Smith\nlimits=" + limits.toUtf8() + "\n");
    const QString junit = dir.filePath(QStringLiteral("d.xml"));
    for (int ms : {3, 6, 9, 12}) {
        const Program p = run(dir, {QStringLiteral("--diagnose"),
                                    QStringLiteral("--device=sim:slow=4,%1").arg(ms),
                                    QStringLiteral("--readback=20"), QStringLiteral("--card=LT-90"),
                                    QStringLiteral("--no-log"), QStringLiteral("--junit"), junit});
        QCOMPARE(p.status, ms < 10 ? 0 : 1);
        // Past 8 ms (marginal) the figure is named, and no other relay's. (The median is seen
        // within the sampling interval after the relay's time: 9.01 ms on a slow machine.)
        const QRegularExpression judged(QStringLiteral("\nrelay 4: operate median %1\\.\\d\\d ms, "
                                                       "%2 its limit of 10 ms\n")
                                            .arg(ms)
                                            .arg(ms < 10 ? "marginal against" : "past"));
        QVERIFY2(p.out.contains(judged) == (ms > 8), qPrintable(p.out));
        QCOMPARE(p.out.count(QRegularExpression(QStringLiteral("\nrelay \\d+: "))), ms > 8 ? 2 : 0);
    }
    QString why;
    QVERIFY2(readJUnit(junit, why)
                 .contains(QRegularExpression(
                     QStringLiteral("^looptest diagnosis 16 1\nrelay 4 -> input 11 operate "
                                    "median 12\\.\\d\\d ms, past its limit of 10 ms"))),
             qPrintable(why));
    // A bad limits file is refused before anything runs, with its line.
    const QString bad = file(dir, QStringLiteral("bad.ini"), "[limits]\nbounce = 2\n");
    const Program refused =
        run(dir, {QStringLiteral("--card-history=LT-90"), QStringLiteral("--limits"), bad});
    QCOMPARE(refused.status, 64);
    QVERIFY(refused.err.contains(bad + QStringLiteral(":2: unknown key \"bounce\"")));

    // A healthy card diagnosed once, for its page's sake.
    const Program healthy = run(dir, {QStringLiteral("--diagnose"), QStringLiteral("--device=sim"),
                                      QStringLiteral("--card=LT-91"), QStringLiteral("--no-log")});
    QVERIFY2(healthy.status == 0, qPrintable(healthy.err));
    const QString page = dir.filePath(QStringLiteral("LT-90.html"));
    const Program history = run(dir, {QStringLiteral("--card-history=LT-90"),
                                      QStringLiteral("--html"), page, QStringLiteral("--runs=3")});
    QCOMPARE(history.status, 0);
    QCOMPARE(history.out.count(QLatin1String("\nFLAG relay ")), 2);
    // (Each median within the sampling interval of the relay's time, and the growth with it.)
    QVERIFY2(history.out.contains(QRegularExpression(
                 QStringLiteral("FLAG relay 4: its operate time grew from 3\\.0\\d to "
                                "12\\.0\\d ms"))) &&
                 history.out.contains(QRegularExpression(
                     QStringLiteral("3\\.0\\d -> 12\\.0\\d \\(\\+(29\\d|300)%\\)"))) &&
                 history.out.count(QLatin1String(" Ann Smith ")) == 3, // --runs 3
             qPrintable(history.out));
    // In a real browser: the flagged relay's chart framed in red, none on the healthy card's.
    QList<qint64> red;
    for (const QString& card : {QStringLiteral("LT-90"), QStringLiteral("LT-91")}) {
        const QString html = dir.filePath(card + QStringLiteral(".html"));
        const Program p =
            run(dir, {QStringLiteral("--card-history=") + card, QStringLiteral("--html"), html});
        QVERIFY2(p.status == 0 && screenshot(html, html + QStringLiteral(".png"), why),
                 qPrintable(p.err + why));
        red << flagRedPixels(html + QStringLiteral(".png"));
    }
    QVERIFY2(red[0] > 1000 && red[1] == 0,
             qPrintable(QStringLiteral("%1 %2").arg(red[0]).arg(red[1])));
}

// A database as the program before left it (schema 2) takes the new schema with every run and
// count kept; a headless run on it names its operator and is judged by its relays' life over
// the card's runs, old ones included.
void TstHealth::aHeadlessRunOnADatabaseOfTheSecondSchema() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lab.sqlite"));
    QProcess make;
    make.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import sqlite3, sys\ndb = sqlite3.connect(sys.argv[1])\n"
                               "db.executescript(open(sys.argv[2]).read())\n"
                               "print(*(c for (c,) in db.execute('SELECT SUM(closings) FROM "
                               "run_relays JOIN runs ON runs.id = run WHERE card = \"LT-80\" "
                               "GROUP BY relay ORDER BY relay')))\n"),
                path, QStringLiteral(LOOPTEST_SOURCE "/tests/lab/schema_v2.sql")});
    QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);
    const QStringList before = QString::fromUtf8(make.readAllStandardOutput()).split(' ');
    QCOMPARE(before.size(), 16);
    // A rated life of 15 closings, which every relay passes over the card's runs.
    const QString metrics = dir.filePath(QStringLiteral("run.prom"));
    const QString xml = dir.filePath(QStringLiteral("run.xml"));
    const Program p = run(dir, {QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                                QStringLiteral("--loops=160"), QStringLiteral("--step=20"),
                                QStringLiteral("--card=LT-80"), QStringLiteral("--operator=Bo"),
                                QStringLiteral("--lab-db=sqlite:") + path,
                                QStringLiteral("--metrics"), metrics, QStringLiteral("--log"),
                                dir.filePath(QStringLiteral("run.csv")), QStringLiteral("--limits"),
                                file(dir, QStringLiteral("l.ini"), "[limits]\nrated-life=15\n"),
                                QStringLiteral("--junit"), xml});
    QCOMPARE(p.status, 1);
    const std::array<std::int64_t, 16> added = closingsOf(metrics); // a busy machine closes more
    const QString life = QStringLiteral("life used %1 closings, past its limit of 15 closings")
                             .arg(before[0].toLongLong() + added[0]);
    QVERIFY2(p.out.contains(QStringLiteral("relay 0: ") + life), qPrintable(p.out));
    QString why;
    QVERIFY2(readJUnit(xml, why).startsWith(QStringLiteral("looptest 18 16\nrelay 0 -> input 15 ") +
                                            life),
             qPrintable(why));
    QFile report(xml), log(dir.filePath(QStringLiteral("run.csv")));
    QVERIFY(report.open(QIODevice::ReadOnly) && log.open(QIODevice::ReadOnly));
    QVERIFY(report.readAll().contains("<property name=\"operator\" value=\"Bo\"/>"));
    QVERIFY(log.readAll().contains("card LT-80; operator Bo; host "));

    const Program history = run(
        dir, {QStringLiteral("--card-history=LT-80"), QStringLiteral("--lab-db=sqlite:") + path});
    QVERIFY2(history.out.startsWith(QLatin1String("card LT-80: 5 runs")), qPrintable(history.out));
    for (int r = 0; r < 16; ++r) {
        const auto m =
            QRegularExpression(QStringLiteral("\n +%1 +(\\d+) +(\\d+) ").arg(r)).match(history.out);
        QCOMPARE(m.captured(1).toLongLong(), before[r].toLongLong() + added[r]);
        QCOMPARE(m.captured(2).toLongLong(), r == 5 ? 2 : 0); // the dump's errors, kept
    }
    // The new run names its operator and failed on its life; the four before name none.
    QVERIFY(history.out.contains(QRegularExpression(QStringLiteral(" Bo +ended +fail "))));
    QCOMPARE(history.out.count(QRegularExpression(QStringLiteral("  -  +(ended|diagnosed) "))), 4);
}

QTEST_MAIN(TstHealth)
#include "tst_health.moc"
