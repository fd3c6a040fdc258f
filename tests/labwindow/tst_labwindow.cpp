// The lab window's model of the lab: every card read as one card's history is read, ordered
// for a technician, and shown in words, an icon and a colour; and the window itself, live on
// a SQLite file that another connection writes.

#include "lab/History.h"
#include "lab/LabDatabase.h"
#include "labwindow/CardSummary.h"
#include "labwindow/CardsModel.h"
#include "labwindow/LabWindow.h"
#include "support/Postgres.h"

#include <QIcon>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

namespace {

// A run of card, started at minute, with closings on every relay; a diagnosis when operateMs
// is given (relay 2's operate time; the others 0.2 ms).
LabDatabase::Run run(const QString& card, int minute, std::int64_t closings,
                     std::optional<double> operateMs = std::nullopt, const char* verdict = "pass") {
    static int n = 0;
    LabDatabase::Run r;
    r.uid = QStringLiteral("uid-%1").arg(++n);
    r.card = card;
    r.host = QStringLiteral("pc-%1").arg(minute % 3);
    r.device = QStringLiteral("sim");
    r.started = QDateTime(QDate(2026, 12, 1), QTime(8, 0), QTimeZone::utc()).addSecs(60 * minute);
    r.ended = r.started.addSecs(30);
    r.ending = QStringLiteral("ended");
    r.verdict = QLatin1String(verdict);
    r.loops = closings;
    for (LabDatabase::Counts& c : r.relays)
        c.closings = closings;
    if (operateMs) {
        LabDatabase::Diagnosis d;
        for (LabDatabase::RelayFindings& f : d.relays) {
            f.kind = QStringLiteral("ok");
            f.operate = {0.2, 0.2, 0.2};
            f.operateVerdict = f.verdict = QStringLiteral("pass");
            f.bouncesVerdict = QStringLiteral("pass");
        }
        d.relays[2].operate = {*operateMs, *operateMs, *operateMs};
        d.relays[2].operateVerdict = d.relays[2].verdict =
            *operateMs > 10 ? QStringLiteral("fail") : QStringLiteral("pass");
        r.diagnosis = d;
    }
    return r;
}

void write(LabDatabase& db, LabDatabase::Run r) {
    QString why;
    QVERIFY2(db.knowCard(r.card, nullptr, why) && db.writeRun(r, why), qPrintable(why));
}

} // namespace

class TstLabWindow : public QObject {
    Q_OBJECT
private slots:
    void everyCardIsReadAsItsOwnHistoryIs();
    void theFlaggedComeFirstThenTheLastRun();
    void aColumnSortsByItsValueAndAVerdictIsMoreThanAColour();
    void theWindowShowsARunWrittenByAnotherConnection();
    void aServerTellsItsListenersOfEachRunWritten();
};

// The lab's list and a card's view read the same model: histories() gives each card exactly
// what history() gives it, last runs cut per card, diagnoses per card in their order.
void TstLabWindow::everyCardIsReadAsItsOwnHistoryIs() {
    QTemporaryDir dir;
    LabDatabase db(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("lab.sqlite")));
    QString why;
    QVERIFY2(db.open(why), qPrintable(why));
    for (int i = 0; i < 5; ++i)
        write(db, run(QStringLiteral("A"), i, 10 + i));
    write(db, run(QStringLiteral("B"), 7, 3, 4.0));
    write(db, run(QStringLiteral("B"), 9, 3, 12.0, "fail"));
    write(db, run(QStringLiteral("B"), 8, 100)); // started between the diagnoses
    QVERIFY2(db.knowCard(QStringLiteral("C"), nullptr, why), qPrintable(why)); // never run

    std::vector<LabDatabase::History> all;
    QVERIFY2(db.histories(3, all, why), qPrintable(why));
    QCOMPARE(all.size(), std::size_t(3));
    for (const LabDatabase::History& h : all) {
        LabDatabase::History one;
        bool known = false;
        QVERIFY2(db.history(h.card, 3, one, known, why) && known, qPrintable(why));
        QCOMPARE(h.card, one.card);
        QCOMPARE(h.runs, one.runs);
        QCOMPARE(h.firstSeen, one.firstSeen);
        QVERIFY(h.relays == one.relays);
        QCOMPARE(h.lastRuns.size(), one.lastRuns.size());
        for (std::size_t i = 0; i < h.lastRuns.size(); ++i)
            QCOMPARE(h.lastRuns[i].id, one.lastRuns[i].id);
        QCOMPARE(h.diagnoses.size(), one.diagnoses.size());
        for (std::size_t i = 0; i < h.diagnoses.size(); ++i)
            QVERIFY(h.diagnoses[i].relays == one.diagnoses[i].relays);
    }
    // A: five runs, the three newest listed, newest first; sums over all five.
    QCOMPARE(all[0].runs, 5);
    QCOMPARE(all[0].lastRuns.size(), std::size_t(3));
    QCOMPARE(all[0].lastRuns[0].loops, 14);
    QCOMPARE(all[0].relays[0].closings, 10 + 11 + 12 + 13 + 14);
    // B: its two diagnoses in the order they ran, none counted from its plain run.
    QCOMPARE(all[1].diagnoses.size(), std::size_t(2));
    QCOMPARE(*all[1].diagnoses[1].relays[2].operate.median, 12.0);
    // C: known, never run.
    QCOMPARE(all[2].runs, 0);
    QVERIFY(all[2].lastRuns.empty());
}

void TstLabWindow::theFlaggedComeFirstThenTheLastRun() {
    Limits limits;
    limits.ratedLife = 1000;
    std::vector<LabDatabase::History> lab(5);
    const QStringList ids{"old", "new", "worn", "never", "slow"};
    for (int i = 0; i < 5; ++i)
        lab[i].card = ids[i];
    auto ran = [](LabDatabase::History& h, int minute) {
        h.lastRuns.push_back(run(h.card, minute, 1));
        h.runs = 1;
    };
    ran(lab[0], 1);
    ran(lab[1], 50);
    ran(lab[2], 5);
    lab[2].relays[7].closings = 900; // 90% of its life: marginal, flagged
    lab[2].relays[3].closings = 200;
    ran(lab[4], 2);
    LabDatabase::Diagnosed d;
    d.relays[2].kind = QStringLiteral("ok");
    d.relays[2].operate.median = d.relays[2].operate.worst = 12.0;
    d.relays[2].operateVerdict = QStringLiteral("fail");
    lab[4].diagnoses.push_back(d);

    const std::vector<CardSummary> cards = summarizeLab(lab, limits);
    QStringList order;
    for (const CardSummary& c : cards)
        order << c.card;
    // Flagged (worn ran after slow), then by last run, the never run last.
    QCOMPARE(order, (QStringList{"worn", "slow", "new", "old", "never"}));
    QCOMPARE(cards[0].lifeRelay, 7);
    QCOMPARE(cards[0].lifeUsed, 90.0);
    QCOMPARE(cards[0].flags, 1);
    // The first flag in the words --card-history prints after "FLAG relay N: ".
    const QString table = historyTable(lab[4], limits);
    const int at = table.indexOf(QLatin1String("FLAG relay 2: "));
    QVERIFY(at >= 0);
    QCOMPARE(QStringLiteral("FLAG ") + cards[1].firstFlag,
             table.mid(at, table.indexOf(QLatin1Char('\n'), at) - at));
    QCOMPARE(cards[4].lifeRelay, -1); // nothing closed: no relay named
}

void TstLabWindow::aColumnSortsByItsValueAndAVerdictIsMoreThanAColour() {
    std::vector<CardSummary> cards(3);
    cards[0].card = QStringLiteral("LT-9");
    cards[0].runs = 9;
    cards[1].card = QStringLiteral("LT-10");
    cards[1].runs = 10;
    cards[1].last = run(cards[1].card, 1, 1, std::nullopt, "fail");
    cards[1].flags = 2;
    cards[1].firstFlag = QStringLiteral("relay 3: replace it");
    cards[2].card = QStringLiteral("LT-100");
    cards[2].runs = 100;
    cards[2].last = run(cards[2].card, 2, 1);
    CardsModel model;
    model.setCards(cards);
    QCOMPARE(model.rowOf(QStringLiteral(" lt-10 ")), 1); // as scanned: case and blanks aside
    QCOMPARE(model.rowOf(QStringLiteral("LT-1")), -1);   // a part is not the card
    QSortFilterProxyModel sorted;
    sorted.setSourceModel(&model);
    sorted.setSortRole(Qt::UserRole);
    sorted.sort(CardsModel::Runs, Qt::DescendingOrder);
    QStringList order;
    for (int r = 0; r < 3; ++r)
        order << sorted.index(r, CardsModel::Card).data().toString();
    QCOMPARE(order, (QStringList{"LT-100", "LT-10", "LT-9"})); // not "9" > "100"
    const QModelIndex failed = model.index(1, CardsModel::Verdict);
    QCOMPARE(failed.data().toString(), QStringLiteral("FAIL"));
    QVERIFY(!failed.data(Qt::DecorationRole).value<QIcon>().isNull());
    QCOMPARE(model.index(2, CardsModel::Verdict).data().toString(), QStringLiteral("pass"));
    QVERIFY(failed.data(Qt::ForegroundRole) !=
            model.index(2, CardsModel::Verdict).data(Qt::ForegroundRole));
    QCOMPARE(model.index(1, CardsModel::Flags).data().toString(),
             QStringLiteral("2: relay 3: replace it"));
    QCOMPARE(model.index(0, CardsModel::Flags).data().toString(), QStringLiteral("none"));
    QVERIFY(!model.index(0, CardsModel::Flags).data(Qt::DecorationRole).value<QIcon>().isNull());
    QCOMPARE(model.index(0, CardsModel::LastRun).data().toString(), QStringLiteral("never run"));
}

// The window on a SQLite file: what another connection writes shows by itself (the file is
// watched), and a card opened by its ID follows its new runs.
void TstLabWindow::theWindowShowsARunWrittenByAnotherConnection() {
    QTemporaryDir dir;
    const QString url = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("lab.sqlite"));
    LabDatabase db(url);
    QString why;
    QVERIFY2(db.open(why), qPrintable(why));
    write(db, run(QStringLiteral("X-1"), 1, 5));
    // Only a change the window hears of is read: no reading again now and then.
    qputenv("LOOPTEST_LAB_RESCAN_S", "3600");
    LabWindow window(url, Limits{});
    QSignalSpy lab(&window.reader(), &LabReader::labRead);
    QSignalSpy card(&window.reader(), &LabReader::cardRead);
    auto* table = window.findChild<QTableView*>(QStringLiteral("cards"));
    QVERIFY(table);
    QTRY_COMPARE_WITH_TIMEOUT(table->model()->rowCount(), 1, 60000);
    window.openCard(QStringLiteral("X-1"));
    QTRY_VERIFY_WITH_TIMEOUT(!card.isEmpty(), 60000);
    QCOMPARE(card.last().at(0).value<LabReading>().history.runs, 1);
    write(db, run(QStringLiteral("X-1"), 2, 5));
    write(db, run(QStringLiteral("X-2"), 3, 5));
    QTRY_COMPARE_WITH_TIMEOUT(table->model()->rowCount(), 2, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(card.last().at(0).value<LabReading>().history.runs, 2, 60000);
    QVERIFY(!lab.isEmpty());
}

// A PostgreSQL database tells those that listen of each run written, by its card, from any
// connection (another PC's program); a SQLite file needs no listening (it is watched).
void TstLabWindow::aServerTellsItsListenersOfEachRunWritten() {
    PostgresServer server;
    if (!server.start()) {
        if (!qEnvironmentVariableIsEmpty("CI"))
            QFAIL(qPrintable(server.why));
        QSKIP(qPrintable(server.why));
    }
    LabDatabase listener(server.url()), writer(server.url());
    QString why;
    QVERIFY2(listener.open(why) && writer.open(why), qPrintable(why));
    QObject context;
    QStringList heard;
    QVERIFY(listener.listen(&context, [&](const QString& card) { heard << card; }));
    write(writer, run(QStringLiteral("PG-7"), 1, 3));
    write(writer, run(QStringLiteral("PG-8"), 2, 3, 4.0));
    QTRY_COMPARE_WITH_TIMEOUT(heard, (QStringList{"PG-7", "PG-8"}), 60000);
    QTemporaryDir dir;
    LabDatabase file(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("l.sqlite")));
    QVERIFY2(file.open(why), qPrintable(why));
    QVERIFY(file.listen(&context, [](const QString&) {}));
}

QTEST_MAIN(TstLabWindow)
#include "tst_labwindow.moc"
