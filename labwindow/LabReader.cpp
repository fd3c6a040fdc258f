#include "labwindow/LabReader.h"

#include "lab/LabCourier.h"
#include "lab/LabQueue.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QThread>
#include <QTimer>

namespace {

// How often everything is read again however quiet the lab: 30 s, or
// LOOPTEST_LAB_RESCAN_S (a test sets it long, so that only a change heard is read).
qint64 rescanMs() {
    bool ok = false;
    const qint64 s = qEnvironmentVariableIntValue("LOOPTEST_LAB_RESCAN_S", &ok);
    return ok && s > 0 ? s * 1000 : 30000;
}

} // namespace

// The reader's half that lives in its thread: its database connection, watcher and timers are
// made there, used there and deleted there.
class LabReader::Worker : public QObject {
public:
    Worker(LabReader* owner, const QString& url, int lastRuns, const Limits& limits)
        : owner_(owner)
        , url_(url)
        , lastRuns_(lastRuns)
        , limits_(limits) {}

    void begin() {
        again_ = new QTimer(this);
        again_->setSingleShot(true);
        connect(again_, &QTimer::timeout, this, [this] { readAll(); });
        // Changes come in bursts (a file and its journal): one read for them.
        settle_ = new QTimer(this);
        settle_->setSingleShot(true);
        settle_->setInterval(150);
        connect(settle_, &QTimer::timeout, this, [this] { readAll(); });
        // Whether the database still answers, and the queue on this PC, every few seconds;
        // and everything now and then, in case a change went unheard.
        tick_ = new QTimer(this);
        tick_->setInterval(2000);
        connect(tick_, &QTimer::timeout, this, [this] { check(); });
        tick_->start();
        const QString path = LabDatabase::sqlitePath(url_);
        if (!path.isEmpty()) {
            watcher_ = new QFileSystemWatcher(this);
            auto changed = [this](const QString&) {
                watchFiles();
                settle_->start();
            };
            connect(watcher_, &QFileSystemWatcher::fileChanged, this, changed);
            connect(watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
        }
        readAll();
    }

    void end() {
        db_.reset();
        delete watcher_;
        watcher_ = nullptr;
    }

    void follow(const QString& card) {
        card_ = card;
        if (!card_.isEmpty())
            readCard();
    }

    void readAll() {
        rescan_.start();
        watchFiles();
        readQueue();
        if (!reach())
            return; // tried again in a second
        LabReading lab;
        lab.ok = db_->histories(lastRuns_, lab.cards, lab.why);
        if (!lab.ok) {
            failed(lab.why);
            return;
        }
        // The cards' flags and order are worked out here too, off the window's thread.
        lab.summaries = summarizeLab(lab.cards, limits_);
        answered();
        emit owner_->labRead(lab);
        if (!card_.isEmpty())
            readCard();
    }

    void deliver() {
        const LabCourier::SyncResult r = LabCourier::syncNow();
        emit owner_->delivered(r.lines, r.delivered, r.stillWaiting);
        readAll();
    }

private:
    bool reach() {
        if (db_ && db_->isOpen())
            return true;
        // A SQLite file locked by another program is waited for briefly, then tried again:
        // the reader hears of changes meanwhile rather than sit in one long wait.
        db_ = std::make_unique<LabDatabase>(url_, 500);
        QString why;
        if (!db_->open(why)) {
            failed(why);
            return false;
        }
        // A server tells of each run written; reading on each notification keeps the window
        // live without asking it over and over.
        db_->listen(this, [this](const QString&) { settle_->start(); });
        return true;
    }

    void readCard() {
        if (!reach())
            return; // tried again in a second
        LabReading one;
        one.card = card_;
        one.ok = db_->history(card_, lastRuns_, one.history, one.known, one.why);
        if (!one.ok) {
            failed(one.why);
            return;
        }
        answered();
        emit owner_->cardRead(one);
    }

    // A server is asked whether it still answers; one that did not is read again once it does.
    void check() {
        readQueue();
        if (!db_ || !answers_) {
            if (!again_->isActive())
                readAll();
            return;
        }
        QString why;
        if (!db_->ping(why))
            failed(why);
        else if (rescan_.hasExpired(rescanMs_)) {
            readAll();
        }
    }

    void failed(const QString& why) {
        if (answers_ || !since_.isValid())
            since_ = QDateTime::currentDateTime();
        answers_ = false;
        // The connection is made anew at the next try, in a second: a server that went away
        // leaves one that looks open.
        db_.reset();
        emit owner_->answering(false, since_, why);
        if (!again_->isActive())
            again_->start(1000);
    }

    void answered() {
        if (!answers_)
            emit owner_->answering(true, {}, {});
        answers_ = true;
        since_ = {};
    }

    // The file, its write-ahead journal (which a run's write changes first), and the folder,
    // where the journal comes and goes.
    void watchFiles() {
        if (!watcher_)
            return;
        const QString path = LabDatabase::sqlitePath(url_);
        QStringList want{path, path + QStringLiteral("-wal"), QFileInfo(path).absolutePath()};
        for (const QString& p : want)
            if (QFileInfo::exists(p) && !watcher_->files().contains(p) &&
                !watcher_->directories().contains(p))
                watcher_->addPath(p);
    }

    void readQueue() {
        std::vector<QueuedRun> runs;
        for (const QString& file : labqueue::waiting()) {
            const labqueue::Contents c = labqueue::read(file);
            QueuedRun q;
            q.file = file;
            q.damage = c.damage;
            if (c.last) {
                q.card = c.last->run.card;
                q.started = c.last->run.started.toLocalTime().toString(Qt::ISODate);
            }
            runs.push_back(q);
        }
        emit owner_->queueRead(runs);
    }

    LabReader* owner_;
    QString url_;
    int lastRuns_;
    Limits limits_;
    QString card_;
    std::unique_ptr<LabDatabase> db_;
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer *again_ = nullptr, *settle_ = nullptr, *tick_ = nullptr;
    bool answers_ = false; // not yet: the first answer is told
    QDateTime since_;
    // Everything is read again now and then, in case a change went unheard.
    QElapsedTimer rescan_;
    qint64 rescanMs_ = rescanMs();
};

LabReader::LabReader(const QString& url, int lastRuns, const Limits& limits) {
    qRegisterMetaType<LabReading>();
    qRegisterMetaType<std::vector<QueuedRun>>();
    where_ = LabDatabase(url).where();
    thread_ = new QThread(this);
    thread_->setObjectName(QStringLiteral("lab reader"));
    worker_ = new Worker(this, url, lastRuns, limits);
    worker_->moveToThread(thread_);
}

LabReader::~LabReader() {
    stop();
}

void LabReader::start() {
    thread_->start();
    QMetaObject::invokeMethod(worker_, [w = worker_] { w->begin(); });
}

void LabReader::stop() {
    if (!worker_)
        return;
    if (!thread_->isRunning()) {
        delete worker_;
        worker_ = nullptr;
        return;
    }
    QMetaObject::invokeMethod(
        worker_,
        [w = worker_] {
            w->end();
            delete w;
        },
        Qt::BlockingQueuedConnection);
    worker_ = nullptr;
    thread_->quit();
    thread_->wait();
}

void LabReader::follow(const QString& card) {
    if (worker_)
        QMetaObject::invokeMethod(worker_, [w = worker_, card] { w->follow(card); });
}

void LabReader::refresh() {
    if (worker_)
        QMetaObject::invokeMethod(worker_, [w = worker_] { w->readAll(); });
}

void LabReader::deliverNow() {
    if (worker_)
        QMetaObject::invokeMethod(worker_, [w = worker_] { w->deliver(); });
}
