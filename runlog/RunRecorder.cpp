#include "runlog/RunRecorder.h"

#include "looptest/Counters.h"
#include "window/LoopTest.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QDateTime>
#include <QDir>
#include <QHelpEvent>
#include <QLabel>
#include <QStandardPaths>
#include <QTimer>
#include <QToolTip>

#include <stdexcept>

namespace {

// More episodes than this in a minute make a channel flickering: summarised once a minute.
constexpr int kFlickerStarts = 3;
constexpr qint64 kMinuteMs = 60'000;

QString hexByte(int value) {
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

bool RecordingCard::ReadPort(std::int32_t port, std::int16_t& data) {
    const bool ok = card_.ReadPort(port, data);
    failedReads += ok ? 0 : 1;
    if (port == 0 || port == 1) {
        pending.read[port] = true;
        pending.readOk[port] = ok;
        pending.readData[port] = ok ? data : 0;
    }
    return ok;
}

bool RecordingCard::WritePort(std::int32_t port, std::int16_t data) {
    const bool ok = card_.WritePort(port, data);
    failedWrites += ok ? 0 : 1;
    if (port == 0 || port == 1) {
        if (ok) {
            ++pending.okWrites[port];
            lastWritten[port] = data;
        } else {
            ++pending.failedWrites[port];
            pending.failedData[port] = data;
        }
    }
    return ok;
}

RunRecorder::RunRecorder(LoopTest& window, RecordingCard& card, Clock clock)
    : window_(window)
    , card_(card)
    , clock_(clock ? std::move(clock) : Clock(&QDateTime::currentMSecsSinceEpoch)) {
    started_ = countingSince_ = lastMark_ = clock_();
    for (int i = 0; i < 16; ++i) {
        R16_[i] = window.findChild<QAbstractButton*>(QStringLiteral("R16(%1)").arg(i));
        errLb_[i] = window.findChild<QLabel*>(QStringLiteral("errLb(%1)").arg(i));
        errLb_[i]->installEventFilter(this);
        errors_[i] = counter(errLb_[i]);
    }
    loops_ = window.findChild<QLabel*>(QStringLiteral("Label2"));
    verdict_ = window.findChild<QLabel*>(QStringLiteral("matchLb"));
    autoCmd_ = window.findChild<QAbstractButton*>(QStringLiteral("autoCmd"));
    loops_->installEventFilter(this);
    verdict_->installEventFilter(this);
    loopCount_ = counter(loops_);

    connect(&window, &LoopTest::handled, this, [this](LoopTest::Event e) { afterEvent(e); });
    connect(&window, &LoopTest::programEnded, this, [this] { finish(); });
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

bool RunRecorder::startLog(const QString& path, const QString& detail, QString& why) {
    if (!log_.open(path, why))
        return false;
    logging_ = true;
    row("start", -1, {}, {}, -1, detail);
    log_.sync();
    if (!log_.isOpen()) {
        why = log_.error();
        logging_ = false;
        return false;
    }
    return true;
}

QString RunRecorder::time(qint64 ms) const {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    const int offset = t.offsetFromUtc();
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
               .arg(std::abs(offset) / 60 % 60, 2, 10, QLatin1Char('0'));
}

void RunRecorder::row(const char* event, int channel, const QString& written, const QString& read,
                      std::int64_t count, const QString& detail) {
    if (!logging_)
        return;
    const bool ok =
        log_.write({time(clock_()), QString::number(loopCount_), QString::fromLatin1(event),
                    channel >= 0 ? QString::number(channel) : QString(), written, read,
                    count >= 0 ? QString::number(count) : QString(), detail});
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

std::int64_t RunRecorder::counter(const QLabel* label) const {
    try {
        return counters::read(label);
    } catch (const std::runtime_error&) {
        return 0; // the window reports a counter that is not a number itself
    }
}

QString RunRecorder::reason() const {
    const std::string why = card_.lastError();
    return why.empty() ? QString() : QStringLiteral(": ") + QString::fromStdString(why);
}

// --- Episodes -------------------------------------------------------------------------------

void RunRecorder::error(Kind kind, int index, std::int64_t count, const QString& written,
                        const QString& read, const QString& detail) {
    changed_ = true;
    Episode& e = episodes_[kind * 16 + index];
    if (e.open) {
        e.unreported += count;
        return;
    }
    e.open = true;
    e.written = written;
    e.read = read;
    e.detail = detail;
    ++e.starts;
    if (e.starts > kFlickerStarts)
        e.flickering = true;
    const bool charged = kind <= WriteFailed;
    const char* event = kind <= Active       ? "mismatch"
                        : kind == ReadFailed ? "read-failed"
                                             : "write-failed";
    if (e.flickering) {
        e.unreported += count;
        return;
    }
    row(event, charged ? index : -1, written, read, 1, detail);
    e.unreported += count - 1;
}

void RunRecorder::pass(Kind kind, int index) {
    Episode& e = episodes_[kind * 16 + index];
    if (!e.open)
        return;
    e.open = false;
    if (!e.flickering)
        flush(kind, index, "run ended");
}

void RunRecorder::flush(Kind kind, int index, const char* why) {
    Episode& e = episodes_[kind * 16 + index];
    if (e.unreported == 0)
        return;
    const char* event = kind <= Active       ? "mismatch"
                        : kind == ReadFailed ? "read-failed"
                                             : "write-failed";
    const QString suffix =
        e.flickering ? QStringLiteral("; flickering, %1 episodes in the last minute").arg(e.starts)
                     : QStringLiteral("; %1").arg(QLatin1String(why));
    row(event, kind <= WriteFailed ? index : -1, e.written, e.read, e.unreported,
        e.detail + suffix);
    e.unreported = 0;
}

void RunRecorder::flushAll(const char* why) {
    for (int kind = 0; kind < KindCount; ++kind)
        for (int i = 0; i < 16; ++i)
            flush(static_cast<Kind>(kind), i, why);
}

// At most once a minute, while errors come: what episodes have gathered, a checkpoint of every
// non-zero counter, and the file synced, so that a crash loses no more than the last minute.
void RunRecorder::minuteMark() {
    const qint64 now = clock_();
    if (now - lastMark_ < kMinuteMs)
        return;
    lastMark_ = now;
    flushAll("continuing");
    for (Episode& e : episodes_) {
        e.flickering = e.starts > kFlickerStarts;
        e.starts = 0;
    }
    if (!changed_)
        return;
    changed_ = false;
    for (int i = 0; i < 16; ++i)
        if (errors_[i] != 0)
            row("checkpoint", i, {}, {}, errors_[i], {});
    log_.sync();
}

// --- What the handlers did ------------------------------------------------------------------

void RunRecorder::afterEvent(LoopTest::Event event) {
    using Event = LoopTest::Event;
    switch (event) {
    case Event::ReadBack:
        return afterReadBack();
    case Event::Auto:
        afterWrites();
        return row(autoCmd_->text() == QLatin1String("Stop") ? "auto" : "stop", -1, {}, {}, -1, {});
    case Event::Reset:
        return afterReset();
    case Event::StepSpeed:
    case Event::ReadBackSpeed: {
        const bool step = event == Event::StepSpeed;
        const int value = window_
                              .findChild<QAbstractSlider*>(step ? QStringLiteral("VScroll1")
                                                                : QStringLiteral("VScroll2"))
                              ->value();
        return row(
            "speed", -1, {}, {}, -1,
            QStringLiteral("%1 %2 ms")
                .arg(step ? QStringLiteral("step period") : QStringLiteral("read-back delay"))
                .arg(value));
    }
    case Event::Relay:
    case Event::Step:
    case Event::Ok:
    case Event::Load:
        return afterWrites();
    }
}

void RunRecorder::afterWrites() {
    RecordingCard::Pending& p = card_.pending;
    // A relay handler's only counting is a failed write, charged to the channel it wrote.
    std::array<int, 2> charged{};
    for (int c = 0; c < 16; ++c) {
        const std::int64_t now = counter(errLb_[c]);
        const std::int64_t added = now - errors_[c];
        errors_[c] = now;
        if (added <= 0) {
            if (p.okWrites[c / 8] > 0)
                pass(WriteFailed, c);
            continue;
        }
        charged[c / 8] += static_cast<int>(added);
        byKind_[c][2] += added;
        lastErrorMs_[c] = clock_();
        lastErrorLoop_[c] = loopCount_;
        lastError_ = QStringLiteral("write to port %1 failed (relay %2)").arg(c / 8).arg(c);
        error(WriteFailed, c, added, hexByte(p.failedData[c / 8]), {},
              QStringLiteral("port %1").arg(c / 8) + reason());
    }
    for (int port = 0; port < 2; ++port) {
        const int uncharged = p.failedWrites[port] - charged[port];
        if (uncharged > 0)
            error(UnchargedWrite, port, uncharged, hexByte(p.failedData[port]), {},
                  QStringLiteral("port %1, not charged to a relay").arg(port) + reason());
        else if (p.okWrites[port] > 0)
            pass(UnchargedWrite, port);
        p.okWrites[port] = p.failedWrites[port] = 0;
    }
    minuteMark();
}

void RunRecorder::afterReadBack() {
    RecordingCard::Pending& p = card_.pending;
    loopCount_ = counter(loops_);
    for (int port = 0; port < 2; ++port) {
        if (!p.read[port])
            continue;
        if (p.readOk[port]) {
            pass(ReadFailed, port);
        } else {
            error(ReadFailed, port, 1, {}, {}, QStringLiteral("port %1").arg(port) + reason());
            lastError_ = QStringLiteral("reading port %1 failed").arg(port);
        }
    }
    // A read-back's only counting is a mismatch, charged to the relay of the input.
    for (int input = 0; input < 16; ++input) {
        const int relay = 15 - input;
        const int port = input / 8;
        if (!p.read[port] || !p.readOk[port])
            continue;
        const std::int64_t now = counter(errLb_[relay]);
        const std::int64_t added = now - errors_[relay];
        errors_[relay] = now;
        if (added <= 0) {
            pass(Inactive, relay);
            pass(Active, relay);
            continue;
        }
        const bool closed = R16_[relay]->isChecked();
        const Kind kind = closed ? Inactive : Active;
        pass(closed ? Active : Inactive, relay);
        byKind_[relay][kind] += added;
        lastErrorMs_[relay] = clock_();
        lastErrorLoop_[relay] = loopCount_;
        const QString how =
            closed
                ? QStringLiteral("relay %1 closed, input %2 stayed inactive").arg(relay).arg(input)
                : QStringLiteral("relay %1 open, input %2 was active").arg(relay).arg(input);
        lastError_ = how;
        error(kind, relay, added, hexByte(card_.lastWritten[relay / 8]), hexByte(p.readData[port]),
              how);
    }
    p.read = {};
    minuteMark();
}

void RunRecorder::afterReset() {
    if (counter(loops_) != 0 || autoCmd_->text() != QLatin1String("Auto"))
        return; // Reset does nothing while auto runs
    flushAll("cut by Reset");
    for (Episode& e : episodes_)
        e = {};
    // Nothing Reset clears is lost: each cleared counter, and the loop count.
    for (int c = 0; c < 16; ++c) {
        if (errors_[c] != 0)
            row("reset", c, {}, {}, errors_[c], {});
        errors_[c] = 0;
        byKind_[c] = {};
    }
    row("reset", -1, {}, {}, loopCount_, QStringLiteral("loop count"));
    loopCount_ = 0;
    countingSince_ = clock_();
    changed_ = false;
    log_.sync();
}

void RunRecorder::finish(const QString& detail) {
    if (finished_)
        return;
    finished_ = true;
    loopCount_ = counter(loops_);
    flushAll("at the end");
    // The totals are the window's counters as they stand.
    for (int c = 0; c < 16; ++c)
        row("total", c, {}, {}, counter(errLb_[c]), {});
    row("total", -1, {}, {}, loopCount_, QStringLiteral("loop count"));
    row("end", -1, {}, {}, -1, detail);
    syncTimer_->stop();
    log_.close();
    logging_ = false;
}

// --- Tool tips ------------------------------------------------------------------------------

QString RunRecorder::channelTip(int c) const {
    QStringList lines;
    const QString full = errLb_[c]->toolTip(); // the whole count, when it is too wide to show
    if (!full.isEmpty())
        lines << full + QStringLiteral(" errors");
    lines << QStringLiteral("Relay %1 \u2192 input %2").arg(c).arg(15 - c)
          << QStringLiteral("Input inactive while the relay was closed: %1").arg(byKind_[c][0])
          << QStringLiteral("Input active while the relay was open: %1").arg(byKind_[c][1])
          << QStringLiteral("Failed writes: %1").arg(byKind_[c][2]);
    if (lastErrorMs_[c] != 0)
        lines << QStringLiteral("Last error: %1, loop %2")
                     .arg(QDateTime::fromMSecsSinceEpoch(lastErrorMs_[c])
                              .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")))
                     .arg(lastErrorLoop_[c]);
    return lines.join(QLatin1Char('\n'));
}

bool RunRecorder::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip)
        return false;
    QString tip;
    if (watched == loops_) {
        const double seconds = double(clock_() - countingSince_) / 1000.0;
        tip = QStringLiteral("Run started %1\n%2 loops per second")
                  .arg(QDateTime::fromMSecsSinceEpoch(started_).toString(
                      QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                  .arg(seconds > 0 ? double(counter(loops_)) / seconds : 0.0, 0, 'f', 1);
        if (!loops_->toolTip().isEmpty())
            tip = loops_->toolTip() + QStringLiteral(" loops\n") + tip;
    } else if (watched == verdict_) {
        tip = lastError_.isEmpty() ? QStringLiteral("No error so far")
                                   : QStringLiteral("Last error: ") + lastError_;
    } else {
        for (int c = 0; c < 16; ++c)
            if (watched == errLb_[c])
                tip = channelTip(c);
    }
    QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip,
                       static_cast<QWidget*>(watched));
    return true;
}
