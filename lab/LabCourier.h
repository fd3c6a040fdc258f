#pragma once

#include "lab/LabDatabase.h"
#include "lab/LabQueue.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

// Delivers the lab's queue to the lab's databases, on a thread of its own: the database's
// connection, its writes and its waits never hold up the loop or the window. It takes the
// newest entry of each run that goes on in this program as the run hands it over, and every
// file of the queue that no run holds (what earlier programs could not deliver); it tries
// again, less and less often, what it could not deliver, for as long as the program lives. A
// run's file goes once the database has its last entry. One courier serves a program.
class LabCourier {
public:
    // How long a locked SQLite file is waited for, each try.
    static constexpr int kBusyMs = 2000;

    static LabCourier& instance();
    ~LabCourier();
    LabCourier(const LabCourier&) = delete;
    LabCourier& operator=(const LabCourier&) = delete;

    // Takes in the files of the queue that no run holds; returns at once.
    void deliverWaiting();
    // A run of this program hands over its newest entry, kept in the queue file path.
    void post(const QString& path, const labqueue::Entry& entry);

    // How a run's file stands.
    struct Status {
        std::int64_t delivered = 0; // the newest entry the database has
        std::int64_t tried = 0;     // the newest entry tried
        QString failure;            // why the last try failed; empty after a delivery
        bool refused = false;       // it will not go there (a newer schema, a damaged book)
        bool othersKnown = false;   // whether others holds the card's other runs' counts
        LabDatabase::Relays others{};
    };
    Status status(const QString& path) const;
    // Waits until path's entry seq has been tried (delivered, refused or failed), or ms have
    // passed; true when it was delivered.
    bool waitDelivered(const QString& path, std::int64_t seq, int ms);

    // Ends the courier: what is due goes first, for up to ms; then the try under way is
    // finished (a connection that does not answer takes its time-out), and the rest stays in
    // the queue for the next program.
    void stop(int ms = 2000);

    // What it has to say of the queue's waiting files, as it happens (from its own thread).
    std::function<void(const QString&)> onNote;

    // --lab-sync: one try of every file of the queue that no run holds, in the calling
    // thread. Each line says what became of one; stillWaiting counts what is left.
    struct SyncResult {
        QStringList lines;
        int delivered = 0, stillWaiting = 0;
        bool unreachable = false;
    };
    static SyncResult syncNow();

private:
    LabCourier() = default;
    struct Job;
    void start();
    void work();
    bool idle() const; // nothing to do now: no scan, no try, no job due

    mutable std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::thread thread_;
    std::map<QString, std::unique_ptr<Job>> jobs_;
    std::map<QString, Status> status_;
    bool scan_ = false, stop_ = false, busy_ = false;
};
