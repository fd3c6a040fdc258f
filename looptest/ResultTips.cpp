#include "looptest/ResultTips.h"

#include <QDateTime>
#include <QHelpEvent>
#include <QLabel>
#include <QToolTip>

namespace {

QString at(qint64 ms, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QLatin1String(format));
}

} // namespace

ResultTips::ResultTips(const LoopResults& results, const std::array<QLabel*, 16>& errors,
                       QLabel* loops, QLabel* verdict, QObject* parent)
    : QObject(parent)
    , results_(results)
    , errors_(errors)
    , loops_(loops)
    , verdict_(verdict) {
    for (QLabel* label : errors_)
        label->installEventFilter(this);
    loops_->installEventFilter(this);
    verdict_->installEventFilter(this);
    connect(&results, &LoopResults::error, this, &ResultTips::noteError);
    connect(&results, &LoopResults::loopCounted, this, [this](std::int64_t loops) {
        if (loops == 1 && started_ == 0)
            started_ = countingSince_ = QDateTime::currentMSecsSinceEpoch();
    });
    connect(&results, &LoopResults::cleared, this,
            [this] { countingSince_ = QDateTime::currentMSecsSinceEpoch(); });
}

void ResultTips::noteError(const LoopError& e) {
    lastError_ = e; // put in words only when someone looks
    if (e.relay >= 0) {
        lastErrorMs_[e.relay] = QDateTime::currentMSecsSinceEpoch();
        lastErrorLoop_[e.relay] = results_.loops();
    }
}

QString ResultTips::verdictTip() const {
    const LoopError& e = *lastError_;
    switch (e.kind) {
    case ErrorKind::InputInactive:
        return QStringLiteral("Last error: relay %1 closed, input %2 stayed inactive")
            .arg(e.relay)
            .arg(15 - e.relay);
    case ErrorKind::InputActive:
        return QStringLiteral("Last error: relay %1 open, input %2 was active")
            .arg(e.relay)
            .arg(15 - e.relay);
    case ErrorKind::WriteFailed:
        return e.relay >= 0 ? QStringLiteral("Last error: write to port %1 failed (relay %2)")
                                  .arg(e.port)
                                  .arg(e.relay)
                            : QStringLiteral("Last error: write to port %1 failed").arg(e.port);
    case ErrorKind::ReadFailed:
        break;
    }
    return QStringLiteral("Last error: reading port %1 failed").arg(e.port);
}

QString ResultTips::relayTip(int r) const {
    QStringList lines;
    const QString full = errors_[r]->toolTip(); // the whole count, when it is too wide to show
    if (!full.isEmpty())
        lines << full + QStringLiteral(" errors");
    const LoopResults::RelayCounts& c = results_.relay(r);
    lines << QStringLiteral("Relay %1 \u2192 input %2").arg(r).arg(15 - r)
          << QStringLiteral("Input inactive while the relay was closed: %1").arg(c.inputInactive)
          << QStringLiteral("Input active while the relay was open: %1").arg(c.inputActive)
          << QStringLiteral("Failed writes: %1").arg(c.writeFailed);
    if (lastErrorMs_[r] != 0)
        lines << QStringLiteral("Last error: %1, loop %2")
                     .arg(at(lastErrorMs_[r], "yyyy-MM-dd HH:mm:ss.zzz"))
                     .arg(lastErrorLoop_[r]);
    return lines.join(QLatin1Char('\n'));
}

QString ResultTips::loopsTip() const {
    if (started_ == 0)
        return QStringLiteral("No loop so far");
    const double seconds = double(QDateTime::currentMSecsSinceEpoch() - countingSince_) / 1000.0;
    QString tip = QStringLiteral("Run started %1\n%2 loops per second")
                      .arg(at(started_, "yyyy-MM-dd HH:mm:ss"))
                      .arg(seconds > 0 ? double(results_.loops()) / seconds : 0.0, 0, 'f', 1);
    if (!loops_->toolTip().isEmpty())
        tip = loops_->toolTip() + QStringLiteral(" loops\n") + tip;
    return tip;
}

bool ResultTips::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip)
        return false;
    QString tip;
    if (watched == loops_) {
        tip = loopsTip();
    } else if (watched == verdict_) {
        tip = lastError_ ? verdictTip() : QStringLiteral("No error so far");
    } else {
        for (int r = 0; r < 16; ++r)
            if (watched == errors_[r])
                tip = relayTip(r);
    }
    QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip,
                       static_cast<QWidget*>(watched));
    return true;
}
