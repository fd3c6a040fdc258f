#include "lab/LabCourier.h"

#include "lab/OldBook.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// What one try made of an entry.
struct Outcome {
    bool ok = false;
    bool refused = false;
    QString why;
    bool othersKnown = false;
    LabDatabase::Relays others{};
};

// One thread's connections, by url, and the cards each has made known.
struct Connections {
    std::map<QString, std::unique_ptr<LabDatabase>> dbs;
    std::map<QString, std::set<QString>> known;

    void drop(const QString& url) {
        dbs.erase(url);
        known.erase(url);
    }
};

// Writes an entry's run where it goes: the connection opened where it is not yet, the card made
// known (its old book taken in when the database meets it first), the run written by its
// identity; then the counts of the card's other runs, for the rated life of its relays.
Outcome deliver(Connections& c, const labqueue::Entry& e) {
    Outcome o;
    std::unique_ptr<LabDatabase>& db = c.dbs[e.url];
    if (!db)
        db = std::make_unique<LabDatabase>(e.url, LabCourier::kBusyMs);
    if (!db->isOpen() && !db->open(o.why)) {
        o.refused = db->refused();
        return o;
    }
    const QString& card = e.run.card;
    std::set<QString>& known = c.known[e.url];
    LabDatabase::History h;
    bool seen = false;
    if (!known.count(card)) {
        if (!db->history(card, 0, h, seen, o.why))
            return o;
        std::optional<LabDatabase::Run> takenIn;
        if (!seen && !oldbook::takeIn(card, takenIn, o.why)) {
            o.refused = true;
            return o;
        }
        if (!db->knowCard(card, takenIn ? &*takenIn : nullptr, o.why))
            return o;
        known.insert(card);
    }
    LabDatabase::Run run = e.run;
    if (!db->writeRun(run, o.why))
        return o;
    o.ok = true;
    QString why;
    if (db->history(card, 0, h, seen, why) && seen) {
        o.othersKnown = true;
        for (int r = 0; r < 16; ++r)
            o.others[r] = {h.relays[r].closings - run.relays[r].closings,
                           h.relays[r].errors - run.relays[r].errors};
    }
    return o;
}

bool ended(const labqueue::Entry& e) {
    return e.run.ending != QLatin1String("running");
}

// A waiting file's entry: a run that never came to its end is told so.
labqueue::Entry asLeft(labqueue::Entry e) {
    if (!ended(e))
        e.run.ending = QStringLiteral("cut short");
    return e;
}

// A file that will not go is set aside under another name, never deleted.
QString setAside(const QString& path, const char* why) {
    const QString to = path + QLatin1Char('.') + QLatin1String(why);
    QFile::rename(path, to);
    return to;
}

QString describe(const labqueue::Entry& e) {
    return QStringLiteral("the run of card %1 started %2 on %3")
        .arg(e.run.card, e.run.started.toLocalTime().toString(Qt::ISODate), e.run.host);
}

QString whereOf(const QString& url) {
    return LabDatabase(url).where();
}

} // namespace

struct LabCourier::Job {
    labqueue::Entry entry;
    bool live = false; // a run of this program hands it over; else a waiting file
    int tries = 0;
    Clock::time_point notBefore = Clock::now();
};

LabCourier& LabCourier::instance() {
    // Never destroyed: the program stops it (stop()) while its application still stands.
    static LabCourier* courier = new LabCourier;
    return *courier;
}

LabCourier::~LabCourier() {
    stop();
}

void LabCourier::start() {
    if (!thread_.joinable()) {
        stop_ = false;
        thread_ = std::thread([this] { work(); });
    }
}

void LabCourier::deliverWaiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    start();
    scan_ = true;
    wake_.notify_all();
}

void LabCourier::post(const QString& path, const labqueue::Entry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    start();
    std::unique_ptr<Job>& job = jobs_[path];
    if (!job)
        job = std::make_unique<Job>();
    job->entry = entry;
    job->live = true;
    job->notBefore = Clock::now();
    wake_.notify_all();
}

LabCourier::Status LabCourier::status(const QString& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = status_.find(path);
    return it == status_.end() ? Status{} : it->second;
}

bool LabCourier::waitDelivered(const QString& path, std::int64_t seq, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        const auto it = status_.find(path);
        return it != status_.end() && (it->second.tried >= seq || it->second.refused);
    });
    const auto it = status_.find(path);
    return it != status_.end() && it->second.delivered >= seq;
}

bool LabCourier::idle() const {
    const auto now = Clock::now();
    return !scan_ && !busy_ && std::none_of(jobs_.begin(), jobs_.end(), [&](const auto& job) {
        return job.second->notBefore <= now;
    });
}

void LabCourier::stop(int ms) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // What is at hand and can go, goes; what waits for a database waits in the queue.
        if (thread_.joinable())
            done_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return idle(); });
        stop_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.clear();
}

void LabCourier::work() {
    Connections connections;
    std::set<QString> told; // the databases a waiting file could not reach, said once each
    auto note = [this](const QString& words) {
        if (onNote)
            onNote(words);
    };
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (scan_) {
            busy_ = true;
            lock.unlock();
            const QStringList files = labqueue::waiting();
            lock.lock();
            for (const QString& file : files)
                if (!jobs_.count(file))
                    jobs_[file] = std::make_unique<Job>();
            scan_ = busy_ = false;
            done_.notify_all();
            continue;
        }
        // The job due first; else sleep until one is due or something comes.
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        QString path;
        for (const auto& [file, job] : jobs_) {
            if (job->notBefore <= now) {
                path = file;
                break;
            }
            next = std::min(next, job->notBefore);
        }
        if (path.isEmpty()) {
            // Woken by a stop, a scan or a job handed over, or when one falls due.
            wake_.wait_until(lock, std::min(next, now + std::chrono::hours(1)),
                             [this] { return stop_ || scan_ || !idle(); });
            continue;
        }
        const Job job = *jobs_[path];
        busy_ = true;
        lock.unlock();

        labqueue::Entry entry = job.entry;
        Outcome o;
        bool gone = false; // a waiting file that is not there to deliver (any more)
        int claimed = -1;
        if (!job.live) {
            claimed = labqueue::claim(path);
            const labqueue::Contents contents =
                claimed < 0 ? labqueue::Contents{} : labqueue::read(path);
            gone = claimed < 0 || !contents.last;
            if (claimed >= 0 && !contents.last)
                note(QStringLiteral("The lab's queue file %1: %2; it is set aside as %3.")
                         .arg(path, contents.damage, setAside(path, "damaged")));
            if (!gone) {
                entry = asLeft(*contents.last);
                if (!contents.damage.isEmpty())
                    note(QStringLiteral("The lab's queue file %1: %2.").arg(path, contents.damage));
            }
        }
        if (!gone) {
            o = deliver(connections, entry);
            if (!o.ok && !o.refused)
                connections.drop(entry.url); // a connection that failed is made anew next time
        }
        if (!job.live && !gone) {
            if (o.ok) {
                QFile::remove(path);
                note(QStringLiteral("The lab's records of %1 waited on this PC; %2 has them now.")
                         .arg(describe(entry), whereOf(entry.url)));
            } else if (o.refused) {
                note(QStringLiteral("%1; the lab's records of %2 are set aside as %3.")
                         .arg(o.why, describe(entry), setAside(path, "refused")));
            } else if (told.insert(entry.url).second) {
                note(QStringLiteral("%1; runs' records wait on this PC, and are tried again.")
                         .arg(o.why));
            }
        }
        if (claimed >= 0)
            ::close(claimed);

        lock.lock();
        const auto it = jobs_.find(path);
        Status& s = status_[path];
        s.tried = std::max(s.tried, entry.seq);
        if (gone || o.ok || o.refused) {
            if (o.ok) {
                s.delivered = std::max(s.delivered, entry.seq);
                s.failure.clear();
                s.othersKnown = o.othersKnown;
                s.others = o.others;
            } else if (o.refused) {
                s.refused = true;
                s.failure = o.why;
                if (job.live)
                    setAside(path, "refused");
            }
            // A run that handed over a newer entry meanwhile keeps its job.
            const bool newer = it != jobs_.end() && it->second->live &&
                               it->second->entry.seq > entry.seq && !o.refused;
            if (o.ok && job.live && ended(entry) && !newer)
                QFile::remove(path);
            if (it != jobs_.end() && !newer)
                jobs_.erase(it);
        } else {
            s.failure = o.why;
            if (it != jobs_.end()) {
                Job& again = *it->second;
                again.tries = std::min(again.tries + 1, 5);
                // 1, 2, 4, 8, 16, then every 30 seconds; a run's next checkpoint tries at once.
                const auto wait = std::chrono::seconds(std::min(30, 1 << (again.tries - 1)));
                if (again.entry.seq <= entry.seq)
                    again.notBefore = Clock::now() + wait;
            }
        }
        busy_ = false;
        done_.notify_all();
    }
    lock.unlock();
    connections.dbs.clear(); // closed on the thread that opened them
}

LabCourier::SyncResult LabCourier::syncNow() {
    SyncResult r;
    Connections connections;
    const QDir dir(labqueue::folder());
    for (const QFileInfo& f :
         dir.entryInfoList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Time | QDir::Reversed)) {
        const QString path = f.absoluteFilePath();
        const int claimed = labqueue::claim(path);
        if (claimed < 0) {
            ++r.stillWaiting;
            r.lines << QStringLiteral("%1: a run that goes on is writing it; it delivers it itself")
                           .arg(path);
            continue;
        }
        const labqueue::Contents contents = labqueue::read(path);
        if (!contents.last) {
            r.lines << QStringLiteral("%1: %2; set aside as %3")
                           .arg(path, contents.damage, setAside(path, "damaged"));
            ::close(claimed);
            continue;
        }
        const labqueue::Entry entry = asLeft(*contents.last);
        const Outcome o = deliver(connections, entry);
        const QString damage =
            contents.damage.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(contents.damage);
        if (o.ok) {
            QFile::remove(path);
            ++r.delivered;
            r.lines << QStringLiteral("delivered: %1, to %2%3")
                           .arg(describe(entry), whereOf(entry.url), damage);
        } else if (o.refused) {
            r.lines << QStringLiteral("refused: %1: %2; set aside as %3")
                           .arg(describe(entry), o.why, setAside(path, "refused"));
        } else {
            connections.drop(entry.url);
            ++r.stillWaiting;
            r.unreachable = true;
            r.lines << QStringLiteral("waiting: %1: %2%3").arg(describe(entry), o.why, damage);
        }
        ::close(claimed);
    }
    return r;
}
