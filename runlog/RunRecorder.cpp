#include "runlog/RunRecorder.h"

#include "runlog/Wording.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>

namespace {

// More episodes than this in a minute make a channel flickering: summarised once a minute.
constexpr int kFlickerStarts = 3;
constexpr qint64 kMinuteMs = 60'000;

using logformat::Event;
using logformat::LogRow;

ErrorKind kindOf(int lane) {
    constexpr ErrorKind kinds[] = {ErrorKind::InputInactive, ErrorKind::InputActive,
                                   ErrorKind::WriteFailed, ErrorKind::WriteFailed,
                                   ErrorKind::ReadFailed};
    return kinds[lane];
}

// A row of an event that names nothing but itself and, maybe, words.
LogRow plain(Event event, const QString& detail = {}) {
    LogRow r;
    r.event = event;
    r.detail = detail;
    return r;
}

// A row of a relay's (or, with relay -1, the loop count's) count.
LogRow counted(Event event, int relay, std::int64_t count, const QString& detail = {}) {
    LogRow r = plain(event, detail);
    r.channel = relay;
    r.count = count;
    return r;
}

// A row of `count` errors of a kind, charged to a relay or (channel -1) to none.
LogRow errorRow(ErrorKind kind, int channel, int written, int read, std::int64_t count,
                const QString& detail) {
    LogRow r = counted(logformat::eventOf(kind), channel, count, detail);
    r.written = written;
    r.read = read;
    r.kind = kind;
    return r;
}

} // namespace

RunRecorder::RunRecorder(const LoopResults& results, Clock clock)
    : results_(results)
    , clock_(clock ? std::move(clock) : Clock(&QDateTime::currentMSecsSinceEpoch)) {
    lastMark_ = clock_();
    connect(&results, &LoopResults::error, this, &RunRecorder::onError);
    connect(&results, &LoopResults::written, this, &RunRecorder::onWritten);
    connect(&results, &LoopResults::portChecked, this, &RunRecorder::onChecked);
    connect(&results, &LoopResults::loopCounted, this, [this] { minuteMark(); });
    connect(&results, &LoopResults::cleared, this, &RunRecorder::onCleared);
    connect(&results, &LoopResults::modeChanged, this,
            [this](bool autoMode) { row(plain(autoMode ? Event::Auto : Event::Stop)); });
    connect(&results, &LoopResults::settingChanged, this,
            [this](LoopResults::Setting setting, int ms) {
                row(plain(Event::Speed, QStringLiteral("%1 %2 ms")
                                            .arg(setting == LoopResults::Setting::StepPeriod
                                                     ? QStringLiteral("step period")
                                                     : QStringLiteral("read-back delay"))
                                            .arg(ms)));
            });
    syncTimer_ = new QTimer(this);
    syncTimer_->setSingleShot(true);
    syncTimer_->setInterval(static_cast<int>(kMinuteMs));
    connect(syncTimer_, &QTimer::timeout, this, [this] {
        minuteMark();
        log_.sync();
    });
}

RunRecorder::~RunRecorder() {
    finish(QStringLiteral("the program closed"));
}

QString RunRecorder::defaultPath(qint64 startMs) {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return QDir(dir).filePath(QStringLiteral("runs/%1.csv")
                                  .arg(QDateTime::fromMSecsSinceEpoch(startMs).toString(
                                      QStringLiteral("yyyy-MM-dd_HHmmss"))));
}

bool RunRecorder::startLog(const QString& path, const QString& detail, const QString& card,
                           QString& why) {
    if (!log_.open(path, why))
        return false;
    logging_ = true;
    row(plain(Event::Start, detail));
    if (!card.isEmpty())
        row(plain(Event::Card, card)); // the ID alone, as a field of its own
    log_.sync();
    if (!log_.isOpen()) {
        why = log_.error();
        logging_ = false;
        return false;
    }
    return true;
}

void RunRecorder::row(LogRow r) {
    if (!logging_)
        return;
    r.ms = moment_ >= 0 ? moment_ : clock_();
    r.loop = resetAt_ >= 0 ? resetAt_ : results_.loops();
    const bool ok = log_.write(r);
    if (ok && !syncTimer_->isActive())
        syncTimer_->start();
    if (!ok) {
        logging_ = false;
        if (!warned_ && onWarning) {
            warned_ = true;
            onWarning(log_.error());
        }
    }
}

// --- Episodes -------------------------------------------------------------------------------

void RunRecorder::error(Lane lane, int index, int written, int read, const QString& detail) {
    changed_ = true;
    Episode& e = episodes_[lane * 16 + index];
    if (e.open) {
        e.unreported = saturatingAdd(e.unreported, 1);
        return;
    }
    e.open = true;
    e.written = written;
    e.read = read;
    e.detail = detail;
    ++e.starts;
    if (e.starts > kFlickerStarts)
        e.flickering = true;
    if (e.flickering) {
        e.unreported = saturatingAdd(e.unreported, 1);
        return;
    }
    row(errorRow(kindOf(lane), lane <= WriteFailed ? index : -1, written, read, 1, detail));
}

void RunRecorder::pass(Lane lane, int index) {
    Episode& e = episodes_[lane * 16 + index];
    if (!e.open)
        return;
    e.open = false;
    if (!e.flickering)
        flush(lane, index, "run ended");
}

void RunRecorder::flush(Lane lane, int index, const char* why) {
    Episode& e = episodes_[lane * 16 + index];
    if (e.unreported == 0)
        return;
    const QString suffix =
        e.flickering ? QStringLiteral("; flickering, %1 episodes in the last minute").arg(e.starts)
                     : QStringLiteral("; %1").arg(QLatin1String(why));
    row(errorRow(kindOf(lane), lane <= WriteFailed ? index : -1, e.written, e.read, e.unreported,
                 e.detail + suffix));
    e.unreported = 0;
}

void RunRecorder::flushAll(const char* why) {
    for (int lane = 0; lane < LaneCount; ++lane)
        for (int i = 0; i < 16; ++i)
            flush(static_cast<Lane>(lane), i, why);
}

// At most once a minute, while errors come: what episodes have gathered, a checkpoint of every
// non-zero counter, and the file synced, so that a crash loses no more than the last minute.
void RunRecorder::minuteMark() {
    const qint64 now = clock_();
    if (now - lastMark_ < kMinuteMs)
        return;
    lastMark_ = now;
    moment_ = now;
    emit checkpointed();
    flushAll("continuing");
    for (Episode& e : episodes_) {
        e.flickering = e.starts > kFlickerStarts;
        e.starts = 0;
    }
    if (changed_) {
        changed_ = false;
        for (int r = 0; r < 16; ++r)
            if (results_.errors(r) != 0)
                row(counted(Event::Checkpoint, r, results_.errors(r)));
        log_.sync();
    }
    moment_ = -1;
}

// --- What the handlers decided --------------------------------------------------------------

void RunRecorder::onError(const LoopError& e) {
    const QString reason = e.why.isEmpty() ? QString() : QStringLiteral(": ") + e.why;
    const QString port = QStringLiteral("port %1").arg(e.port);
    switch (e.kind) {
    case ErrorKind::InputInactive:
    case ErrorKind::InputActive: {
        const bool closed = e.kind == ErrorKind::InputInactive;
        chargedSinceRead_ |= 1 << e.relay;
        pass(closed ? Active : Inactive, e.relay);
        const QString how = closed ? QStringLiteral("relay %1 closed, input %2 stayed inactive")
                                   : QStringLiteral("relay %1 open, input %2 was active");
        error(closed ? Inactive : Active, e.relay, e.written, e.read,
              how.arg(e.relay).arg(15 - e.relay));
        break;
    }
    case ErrorKind::WriteFailed:
        if (e.relay >= 0)
            error(WriteFailed, e.relay, e.written, -1, port + reason);
        else
            error(UnchargedWrite, e.port, e.written, -1,
                  port + QStringLiteral(", not charged to a relay") + reason);
        break;
    case ErrorKind::ReadFailed:
        error(ReadFailed, e.port, -1, -1, port + reason);
        break;
    }
    minuteMark();
}

void RunRecorder::onWritten(int port) {
    for (int r = 8 * port; r < 8 * port + 8; ++r)
        pass(WriteFailed, r);
    pass(UnchargedWrite, port);
}

void RunRecorder::onChecked(int port) {
    pass(ReadFailed, port);
    // Inputs 8p to 8p + 7 belong to relays 15 - 8p down to 8 - 8p.
    for (int input = 8 * port; input < 8 * port + 8; ++input) {
        const int relay = 15 - input;
        if (chargedSinceRead_ & (1 << relay))
            continue;
        pass(Inactive, relay);
        pass(Active, relay);
    }
    chargedSinceRead_ &= port == 0 ? 0x00FF : 0xFF00;
}

void RunRecorder::onCleared(const LoopResults::Counts& before) {
    // What Reset cut and cleared is written at the loop count it cleared.
    resetAt_ = before.loops;
    moment_ = clock_();
    flushAll("cut by Reset");
    for (Episode& e : episodes_)
        e = {};
    // Nothing Reset clears is lost: each cleared counter, and the loop count.
    for (int r = 0; r < 16; ++r)
        if (before.relays[r].total() != 0)
            row(counted(Event::Reset, r, before.relays[r].total()));
    row(counted(Event::Reset, -1, before.loops, QStringLiteral("loop count")));
    resetAt_ = -1;
    moment_ = -1;
    changed_ = false;
    log_.sync();
}

void RunRecorder::note(const QString& words) {
    row(plain(Event::Note, words));
    log_.sync();
}

void RunRecorder::relayLifePassed(int relay, std::int64_t closings, std::int64_t life) {
    row(counted(
        Event::RelayLife, relay, closings,
        QStringLiteral("relay %1 passed its rated life of %2 closings").arg(relay).arg(life)));
    log_.sync();
}

void RunRecorder::finish(const QString& detail, std::int64_t otherFailures) {
    if (finished_)
        return;
    finished_ = true;
    moment_ = clock_();
    flushAll("at the end");
    // The totals are the window's counters as they stand.
    for (int r = 0; r < 16; ++r)
        row(counted(Event::Total, r, results_.errors(r)));
    row(counted(Event::Total, -1, results_.loops(), QStringLiteral("loop count")));
    // The end row states the verdict: how many things failed, and in words.
    RunTally tally = results_.tally();
    tally.other = otherFailures;
    row(counted(Event::End, -1, tally.failures(), endDetail(tally.passed(), detail)));
    syncTimer_->stop();
    log_.close();
    logging_ = false;
}
