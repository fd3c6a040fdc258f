#include "lab/CardBook.h"

#include "card/DeviceChooser.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QSysInfo>

bool CardBook::validId(const QString& id) {
    return validCardId(id);
}

QString CardBook::pathFor(const QString& id) {
    // Named in full: --card-history reads it before the application has a name.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("looptest/cards/%1.json").arg(id));
}

bool CardBook::load(const QString& path, CardBook& book, QString& why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("No book of that card: %1 (%2).").arg(path, file.errorString());
        return false;
    }
    // A book is small; anything much larger is not one.
    const QJsonObject o = QJsonDocument::fromJson(file.read(1 << 20)).object();
    const QJsonArray relays = o.value(QStringLiteral("relays")).toArray();
    book = {};
    book.card = o.value(QStringLiteral("card")).toString();
    book.runs = o.value(QStringLiteral("runs")).toInteger(-1);
    book.firstSeen =
        QDateTime::fromString(o.value(QStringLiteral("first_seen")).toString(), Qt::ISODate);
    book.lastSeen =
        QDateTime::fromString(o.value(QStringLiteral("last_seen")).toString(), Qt::ISODate);
    bool sound = validId(book.card) && book.runs >= 0 && relays.size() == 16 &&
                 book.firstSeen.isValid() && book.lastSeen.isValid();
    for (int r = 0; sound && r < 16; ++r) {
        const QJsonObject relay = relays[r].toObject();
        book.relays[r].closings = relay.value(QStringLiteral("closings")).toInteger(-1);
        book.relays[r].errors = relay.value(QStringLiteral("errors")).toInteger(-1);
        sound = book.relays[r].closings >= 0 && book.relays[r].errors >= 0;
    }
    if (!sound)
        why = QStringLiteral("%1 is not a card's book: it lacks a field, or holds one out of "
                             "range.")
                  .arg(path);
    return sound;
}

bool CardBook::save(const QString& path, QString& why) const {
    QJsonArray list;
    for (int r = 0; r < 16; ++r)
        list << QJsonObject{{QStringLiteral("relay"), r},
                            {QStringLiteral("closings"), qint64(relays[r].closings)},
                            {QStringLiteral("errors"), qint64(relays[r].errors)}};
    const QJsonObject o{{QStringLiteral("card"), card},
                        {QStringLiteral("runs"), qint64(runs)},
                        {QStringLiteral("first_seen"), firstSeen.toString(Qt::ISODate)},
                        {QStringLiteral("last_seen"), lastSeen.toString(Qt::ISODate)},
                        {QStringLiteral("relays"), list}};
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(o).toJson()) >= 0 &&
        file.commit())
        return true;
    why = QStringLiteral("Cannot keep the card's book %1: %2.").arg(path, file.errorString());
    return false;
}

QString historyTable(const LabDatabase::History& h) {
    QString out = QStringLiteral("card %1: %2 runs, first seen %3\n"
                                 "relay     closings       errors  errors per million closings\n")
                      .arg(h.card)
                      .arg(h.runs)
                      .arg(h.firstSeen.toLocalTime().toString(Qt::ISODate));
    for (int r = 0; r < 16; ++r) {
        const LabDatabase::Counts& relay = h.relays[r];
        out += QStringLiteral("%1  %2  %3  %4\n")
                   .arg(r, 5)
                   .arg(relay.closings, 11)
                   .arg(relay.errors, 11)
                   .arg(relay.closings > 0
                            ? QString::number(double(relay.errors) * 1e6 / double(relay.closings),
                                              'f', 1)
                            : QStringLiteral("-"),
                        27);
    }
    out += QStringLiteral("last runs, newest first:\n"
                          "started              host                  ending      verdict "
                          "       loops       errors\n");
    for (const LabDatabase::Run& run : h.lastRuns)
        out +=
            QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                .arg(run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), -19)
                .arg(run.host, -20)
                .arg(run.ending, -10)
                .arg(run.verdict.isEmpty() ? QStringLiteral("-") : run.verdict, -7)
                .arg(run.loops, 11)
                .arg(run.errors, 11);
    return out;
}

QString labHostName() {
    const QString hook = qEnvironmentVariable("LOOPTEST_HOSTNAME");
    return hook.isEmpty() ? QSysInfo::machineHostName() : hook;
}

CardBookKeeper::CardBookKeeper(const QString& card, std::int64_t relayLife, const QString& labUrl)
    : db_(std::make_unique<LabDatabase>(labUrl))
    , relayLife_(relayLife) {
    run_.card = card;
    run_.host = labHostName();
    run_.ending = QStringLiteral("running");
}

CardBookKeeper::~CardBookKeeper() = default;

void CardBookKeeper::watch(const LoopResults& results) {
    results_ = &results;
    connect(&results, &LoopResults::relayClosed, this, &CardBookKeeper::closed);
    connect(&results, &LoopResults::error, this, [this](const LoopError& e) {
        if (e.relay >= 0)
            run_.relays[e.relay].errors = saturatingAdd(run_.relays[e.relay].errors, 1);
    });
}

void CardBookKeeper::closed(int relay) {
    std::int64_t& closings = run_.relays[relay].closings;
    closings = saturatingAdd(closings, 1);
    const std::int64_t all = saturatingAdd(before_[relay].closings, closings);
    if (relayLife_ > 0 && all > relayLife_ && !warned_[relay]) {
        warned_[relay] = true;
        if (onLifePassed)
            onLifePassed(relay, all);
    }
}

void CardBookKeeper::addClosings(const std::array<std::int64_t, 16>& closings) {
    for (int r = 0; r < 16; ++r)
        for (std::int64_t n = 0; n < closings[r]; ++n)
            closed(r);
}

CardBookKeeper::Start CardBookKeeper::start(const QString& device, const QString& log,
                                            QString& why) {
    run_.device = device;
    run_.log = log;
    run_.started = QDateTime::currentDateTimeUtc();
    started_ = true;
    if (write(why))
        return Start::Written;
    failing_ = true; // told by the caller, once
    return db_->refused() ? Start::Refused : Start::Later;
}

// Connects where it has not yet, makes the card known (its old book taken in), reads what its
// other runs counted, and writes this run's totals; false with why.
bool CardBookKeeper::write(QString& why) {
    if (db_->refused())
        return false;
    if (!db_->isOpen()) {
        if (!db_->open(why))
            return false;
    }
    if (!known_) {
        const QString book = CardBook::pathFor(run_.card);
        if (!db_->knowCard(run_.card, book, why))
            return false;
        LabDatabase::History h;
        bool known = false;
        if (!db_->history(run_.card, 0, h, known, why))
            return false;
        before_ = h.relays;
        known_ = true;
    }
    if (results_) {
        run_.loops = results_->loops();
        run_.errors = results_->tally().failures();
    }
    return db_->writeRun(run_, why);
}

void CardBookKeeper::checkpoint() {
    if (!started_ || db_->refused())
        return;
    QString why;
    if (write(why)) {
        failing_ = false;
        return;
    }
    if (!failing_ && onWarning)
        onWarning(why + QStringLiteral(". The test goes on; the card's records are written once "
                                       "the database can be reached."));
    failing_ = true;
}

void CardBookKeeper::finish(const QString& ending, bool passed) {
    if (!started_)
        return;
    run_.ended = QDateTime::currentDateTimeUtc();
    run_.ending = ending;
    run_.verdict = passed ? QStringLiteral("pass") : QStringLiteral("fail");
    checkpoint();
    started_ = false;
}
