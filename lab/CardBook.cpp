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

QString CardBook::table() const {
    QString out = QStringLiteral("card %1: %2 runs, first seen %3, last seen %4\n"
                                 "relay     closings       errors  errors per million closings\n")
                      .arg(card)
                      .arg(runs)
                      .arg(firstSeen.toString(Qt::ISODate), lastSeen.toString(Qt::ISODate));
    for (int r = 0; r < 16; ++r) {
        const Relay& relay = relays[r];
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
    return out;
}

CardBookKeeper::CardBookKeeper(const QString& card, std::int64_t relayLife, const QString& path)
    : path_(path.isEmpty() ? CardBook::pathFor(card) : path)
    , relayLife_(relayLife) {
    book_.card = card;
}

void CardBookKeeper::watch(const LoopResults& results) {
    for (int port = 0; port < 2; ++port)
        written_[port] = results.lastWritten(port);
    // A write closes each relay whose bit it sets and the last one the port took had clear.
    connect(&results, &LoopResults::written, this, [this](int port, int byte) {
        const int closing = byte & ~written_[port];
        written_[port] = static_cast<std::uint8_t>(byte);
        for (int k = 0; closing && k < 8; ++k)
            if (closing & (1 << k))
                closed(8 * port + k);
    });
    connect(&results, &LoopResults::error, this, [this](const LoopError& e) {
        if (e.relay < 0)
            return;
        book_.relays[e.relay].errors = saturatingAdd(book_.relays[e.relay].errors, 1);
        changed_ = true;
    });
}

void CardBookKeeper::closed(int relay) {
    std::int64_t& closings = book_.relays[relay].closings;
    closings = saturatingAdd(closings, 1);
    changed_ = true;
    if (relayLife_ > 0 && closings > relayLife_ && !warned_[relay]) {
        warned_[relay] = true;
        if (onLifePassed)
            onLifePassed(relay, closings);
    }
}

void CardBookKeeper::addClosings(const std::array<std::int64_t, 16>& closings) {
    for (int r = 0; r < 16; ++r)
        for (std::int64_t n = 0; n < closings[r]; ++n)
            closed(r);
}

bool CardBookKeeper::start(QString& why) {
    // What this run counted before the book was read is kept, and added to it.
    const CardBook thisRun = book_;
    CardBook earlier;
    if (QFile::exists(path_) && !CardBook::load(path_, earlier, why))
        return false;
    const QDateTime now = QDateTime::currentDateTime();
    book_ = earlier;
    book_.card = thisRun.card;
    book_.runs = saturatingAdd(earlier.runs, 1);
    book_.firstSeen = earlier.firstSeen.isValid() ? earlier.firstSeen : now;
    book_.lastSeen = now;
    for (int r = 0; r < 16; ++r) {
        book_.relays[r].closings =
            saturatingAdd(earlier.relays[r].closings, thisRun.relays[r].closings);
        book_.relays[r].errors = saturatingAdd(earlier.relays[r].errors, thisRun.relays[r].errors);
    }
    started_ = true;
    changed_ = false;
    return book_.save(path_, why);
}

void CardBookKeeper::checkpoint() {
    if (!started_ || !changed_)
        return;
    book_.lastSeen = QDateTime::currentDateTime();
    QString why;
    changed_ = false;
    if (!book_.save(path_, why) && onWarning)
        onWarning(why);
}
