#include "lab/OldBook.h"

#include "card/CardId.h"
#include "looptest/Counting.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace oldbook {

QString pathFor(const QString& card) {
    // Named in full: --card-history reads it before the application has a name.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("looptest/cards/%1.json").arg(card));
}

bool takeIn(const QString& card, std::optional<LabDatabase::Run>& run, QString& why) {
    run.reset();
    const QString path = pathFor(card);
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("Cannot read the card's book %1: %2").arg(path, file.errorString());
        return false;
    }
    // A book is small; anything much larger is not one.
    const QJsonObject o = QJsonDocument::fromJson(file.read(1 << 20)).object();
    const QJsonArray relays = o.value(QStringLiteral("relays")).toArray();
    const QString of = o.value(QStringLiteral("card")).toString();
    const std::int64_t runs = o.value(QStringLiteral("runs")).toInteger(-1);
    LabDatabase::Run r;
    r.card = card;
    r.uid = QStringLiteral("book:") + card; // taken in twice, it is one run
    r.host = QStringLiteral("(a book of %1 runs)").arg(runs);
    r.log = path;
    r.ending = QStringLiteral("taken in");
    r.started =
        QDateTime::fromString(o.value(QStringLiteral("first_seen")).toString(), Qt::ISODate);
    r.ended = QDateTime::fromString(o.value(QStringLiteral("last_seen")).toString(), Qt::ISODate);
    bool sound = validCardId(of) && runs >= 0 && relays.size() == 16 && r.started.isValid() &&
                 r.ended.isValid();
    for (int k = 0; sound && k < 16; ++k) {
        const QJsonObject relay = relays[k].toObject();
        r.relays[k] = {relay.value(QStringLiteral("closings")).toInteger(-1),
                       relay.value(QStringLiteral("errors")).toInteger(-1)};
        sound = r.relays[k].closings >= 0 && r.relays[k].errors >= 0;
        r.errors = saturatingAdd(r.errors, std::max<std::int64_t>(r.relays[k].errors, 0));
    }
    if (!sound) {
        why = QStringLiteral("%1 is not a card's book: it lacks a field, or holds one out of "
                             "range")
                  .arg(path);
        return false;
    }
    if (of != card) {
        why = QStringLiteral("%1 is the book of card %2, not of card %3: it is not taken in")
                  .arg(path, of, card);
        return false;
    }
    run = r;
    return true;
}

} // namespace oldbook
