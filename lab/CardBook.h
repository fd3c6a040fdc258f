#pragma once

#include "lab/LabDatabase.h"
#include "looptest/LoopResults.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

// A card's book as earlier versions kept it, one JSON file per card under its ID: per relay its
// closings and errors, its runs, when it was first and last seen. The lab's database takes
// such a book in once, on the card's first use there.
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
    // Where a card's book was kept: looptest/cards/ID.json in the user's data folder.
    static QString pathFor(const QString& id);
    // Reads a book; false with why when it is missing or not one.
    static bool load(const QString& path, CardBook& book, QString& why);
    bool save(const QString& path, QString& why) const;
};

// A card's history as --card-history prints it: per relay its closings, errors and errors per
// million closings; then its last runs: when, on which PC, how they ended, loops, errors.
QString historyTable(const LabDatabase::History& history);
// The host name a run is kept under: this PC's, or LOOPTEST_HOSTNAME's where it is set (two
// "PCs" on one machine, for a test).
QString labHostName();

// Keeps a card's records in the lab's database through a run: the run is added when it starts,
// then this run's closings and errors, as the results tell them, are written at each
// checkpoint and at the end, each time in one transaction. A database that cannot be reached
// is told once and tried again at each checkpoint, with all that is not yet written; the run
// goes on. A relay that passes relayLife closings (0: no limit) over all the card's runs is
// told once.
class CardBookKeeper : public QObject {
    Q_OBJECT
public:
    // labUrl: as LabDatabase takes it (empty: the default SQLite file).
    CardBookKeeper(const QString& card, std::int64_t relayLife, const QString& labUrl = {});
    ~CardBookKeeper() override;
    // Counts the closings and errors of the loop, and its loops, as its results tell them.
    void watch(const LoopResults& results);

    enum class Start { Written, Later, Refused };
    // Adds this run, on device and recorded in log, to the card's records. Later: the
    // database cannot be reached now (why says so), tried again at each checkpoint; Refused: it
    // will not be used (a newer schema, the card's old book of another card or damaged).
    Start start(const QString& device, const QString& log, QString& why);
    // Writes what this run has counted.
    void checkpoint();
    // Writes the run's end: how it ended, and its verdict.
    void finish(const QString& ending, bool passed);
    // Adds closings made outside the results (a diagnosis), relay by relay.
    void addClosings(const std::array<std::int64_t, 16>& closings);
    // This run's counts, and the card's over all its runs as far as they are known.
    const LabDatabase::Relays& thisRun() const { return run_.relays; }
    // Told once for each relay that passes its rated life, with its closings.
    std::function<void(int relay, std::int64_t closings)> onLifePassed;
    // Told when the database cannot be written, once until it can again, with why.
    std::function<void(const QString&)> onWarning;

private:
    void closed(int relay);
    bool write(QString& why);

    std::unique_ptr<LabDatabase> db_;
    LabDatabase::Run run_;
    LabDatabase::Relays before_{}; // the card's counts over its other runs, once read
    const LoopResults* results_ = nullptr;
    std::int64_t relayLife_;
    std::array<bool, 16> warned_{};
    bool started_ = false;
    bool known_ = false; // the card is in the database, and before_ is read
    bool failing_ = false;
};
