#pragma once

#include "diagnosis/Limits.h"
#include "lab/LabDatabase.h"
#include "labwindow/CardSummary.h"

#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class QFileSystemWatcher;
class QTimer;

// What one read of the lab brought: every card, or one card; or why it could not be read.
struct LabReading {
    bool ok = false;
    QString why;
    std::vector<LabDatabase::History> cards; // a reading of the whole lab,
    std::vector<CardSummary> summaries;      // and its cards as the list shows them
    QString card;                            // a reading of one card: its ID,
    bool known = false;                      // whether the database knows it,
    LabDatabase::History history;            // and its history
};
Q_DECLARE_METATYPE(LabReading)

// One run of this PC that waits in the lab's queue.
struct QueuedRun {
    QString file, card, started, damage;
};
Q_DECLARE_METATYPE(std::vector<QueuedRun>)

// Reads the lab's database for the lab window, on a thread of its own with a connection of its
// own: a locked SQLite file or a server that does not answer holds up this thread, never the
// window. What it reads it hands over by signals (queued to the window's thread). It reads
// again by itself when a run reaches the database: a SQLite file is watched, a PostgreSQL
// server's notifications are listened to; a read that fails is tried again each second, and
// the server is asked every few seconds whether it still answers.
class LabReader : public QObject {
    Q_OBJECT
public:
    // url: as LabDatabase takes it; lastRuns: the runs a card's reading lists; limits judge
    // the cards' flags.
    LabReader(const QString& url, int lastRuns, const Limits& limits);
    ~LabReader() override;

    // Starts the thread and the first reads; stop() ends it (the read under way finished).
    void start();
    void stop();

    // Reads the card (and keeps it read as the lab changes); empty: none.
    void follow(const QString& card);
    // Reads everything again now.
    void refresh();
    // Delivers what waits in the queue on this PC (as --lab-sync), then reads again.
    void deliverNow();

    // What the database is called in messages, never with a password.
    QString where() const { return where_; }

signals:
    void labRead(const LabReading& reading);
    void cardRead(const LabReading& reading);
    // Whether the database answered the last try; since when it has not; why.
    void answering(bool answers, const QDateTime& since, const QString& why);
    void queueRead(const std::vector<QueuedRun>& runs);
    void delivered(const QStringList& lines, int deliveredRuns, int stillWaiting);

private:
    class Worker;
    QThread* thread_ = nullptr;
    Worker* worker_ = nullptr;
    QString where_;
};
