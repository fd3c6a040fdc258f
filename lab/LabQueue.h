#pragma once

#include "lab/LabDatabase.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// The lab's queue on this PC: what the lab's database must receive, kept locally first, until
// it has it. A file per run, looptest/lab-queue/UID.jsonl in the user's data location; a line
// per checkpoint, each the run's whole totals so far and where they go, appended whole and
// synced, as the run log is. Only a file's last whole line counts: a line a crash or a full
// disk cut short is never delivered. A run holds its file locked while it goes, so that
// another program delivers only what no run is still writing.
namespace labqueue {

// One line: a run's totals at a checkpoint, and the database they go to (an empty url: the
// user's default SQLite file).
struct Entry {
    std::int64_t seq = 0; // the checkpoint's number in the run, from 1
    QString url;
    LabDatabase::Run run;
};

// The queue's folder.
QString folder();

QByteArray line(const Entry& entry);
std::optional<Entry> parse(const QByteArray& line);

// A queue file as it stands: its last whole entry, if any, and what is wrong with its end, in
// words, when a line there is not whole.
struct Contents {
    std::optional<Entry> last;
    QString damage;
};
Contents read(const QString& path);

// The queue's files that no run holds now, oldest first.
QStringList waiting();
// A card's runs in the queue: those that wait for delivery, and those that a run still going
// on this PC holds (it delivers them itself).
struct CardQueue {
    int waiting = 0;
    int inProgress = 0;
};
CardQueue queuedOf(const QString& card);

// A run's file in the queue: created at its start, appended at each checkpoint and at the end,
// held locked until closed.
class File {
public:
    File() = default;
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates the file of the run uid; false with why.
    bool open(const QString& uid, QString& why);
    // Appends an entry and syncs it; false with why (a full disk).
    bool append(const Entry& entry, QString& why);
    void close();
    QString path() const { return path_; }

private:
    int fd_ = -1;
    QString path_;
};

// Takes the lock of a waiting file, so that one program delivers it; -1 when a run or
// another program holds it. Closing the descriptor lets it go.
int claim(const QString& path);

} // namespace labqueue
