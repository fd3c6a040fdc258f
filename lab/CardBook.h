#pragma once

#include "looptest/LoopResults.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>

// What one card went through over all its runs, kept under its ID (the serial on its label):
// per relay its closings (writes that closed it) and the errors charged to it; its runs, when
// it was first and last seen. One small file per card, replaced whole each time (written
// aside, then renamed), so that a crash leaves the last one.
struct CardBook {
    struct Relay {
        std::int64_t closings = 0;
        std::int64_t errors = 0;
    };
    QString card;
    std::int64_t runs = 0;
    QDateTime firstSeen, lastSeen;
    std::array<Relay, 16> relays{};

    // Whether an ID can name a card and its file: 1 to 64 letters, digits, '.', '-' and '_',
    // not beginning with '.'.
    static bool validId(const QString& id);
    // Where a card's book is: looptest/cards/ID.json in the user's data folder.
    static QString pathFor(const QString& id);
    // Reads a book; false with why when it is missing or not one.
    static bool load(const QString& path, CardBook& book, QString& why);
    bool save(const QString& path, QString& why) const;
    // Per relay: closings, errors, errors per million closings; the runs, first and last seen.
    QString table() const;
};

// Keeps a card's book through a run: the run is added when it starts, then the closings and
// the errors as the results tell them; the book is saved at each checkpoint and at the end.
// A relay that passes relayLife closings (0: no limit) is told once.
class CardBookKeeper : public QObject {
    Q_OBJECT
public:
    CardBookKeeper(const QString& card, std::int64_t relayLife, const QString& path = {});
    // Counts the closings and errors of the loop as its results tell them.
    void watch(const LoopResults& results);

    // Loads or begins the book, adds this run and saves it; false with why.
    bool start(QString& why);
    // Saves what changed since the last save.
    void checkpoint();
    // Adds closings made outside the results (a diagnosis), relay by relay.
    void addClosings(const std::array<std::int64_t, 16>& closings);
    const CardBook& book() const { return book_; }
    // Told once for each relay that passes its rated life, with its closings.
    std::function<void(int relay, std::int64_t closings)> onLifePassed;
    // Told when saving fails, with why.
    std::function<void(const QString&)> onWarning;

private:
    void closed(int relay);

    CardBook book_;
    QString path_;
    std::int64_t relayLife_;
    std::array<std::uint8_t, 2> written_{};
    std::array<bool, 16> warned_{};
    bool changed_ = false;
    bool started_ = false;
};
