#include "lab/Metrics.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A label's value, escaped as the text format asks: backslash, quote and line feed.
QString escaped(QString value) {
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('"'), QLatin1String("\\\""));
    value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return value;
}

QString seconds(qint64 ms) {
    return QString::number(double(ms) / 1000.0, 'f', 3);
}

} // namespace

MetricsFile::MetricsFile(const LoopResults& results, const QString& path, const QString& device,
                         const QString& card)
    : results_(results)
    , path_(path)
    , device_(device)
    , card_(card) {
    connect(&results, &LoopResults::loopCounted, this, [this] {
        loops_ = saturatingAdd(loops_, 1);
        changed_ = true;
    });
    connect(&results, &LoopResults::relayClosed, this, [this] { changed_ = true; });
    connect(&results, &LoopResults::error, this, [this](const LoopError& e) {
        lastErrorMs_ = QDateTime::currentMSecsSinceEpoch();
        changed_ = true;
        if (e.kind == ErrorKind::ReadFailed) {
            failedReads_[e.port] = saturatingAdd(failedReads_[e.port], 1);
            return;
        }
        if (e.kind == ErrorKind::WriteFailed)
            failedWrites_[e.port] = saturatingAdd(failedWrites_[e.port], 1);
        if (e.relay >= 0) {
            std::int64_t& n = errors_[e.relay][static_cast<int>(e.kind)];
            n = saturatingAdd(n, 1);
        }
    });
    timer_.setInterval(kEveryMs);
    connect(&timer_, &QTimer::timeout, this, [this] { checkpoint(); });
}

void MetricsFile::start() {
    running_ = true;
    startMs_ = QDateTime::currentMSecsSinceEpoch();
    write();
    timer_.start();
}

void MetricsFile::checkpoint() {
    if (changed_)
        write();
}

void MetricsFile::finish() {
    if (!running_)
        return;
    running_ = false;
    timer_.stop();
    write();
}

QString MetricsFile::text() const {
    const QString labels =
        QStringLiteral("device=\"%1\",card=\"%2\"").arg(escaped(device_), escaped(card_));
    QString out;
    auto family = [&](const char* name, const char* type, const char* help) {
        out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                   .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    };
    auto sample = [&](const char* name, const QString& more, const QString& value) {
        out +=
            QStringLiteral("%1{%2%3} %4\n")
                .arg(QLatin1String(name), labels, more.isEmpty() ? QString() : "," + more, value);
    };
    family("looptest_loops_total", "counter", "Read-backs of the loop in this run.");
    sample("looptest_loops_total", {}, QString::number(loops_));
    family("looptest_closings_total", "counter",
           "Closings of each relay in this run: writes the card took that closed it.");
    for (int r = 0; r < 16; ++r)
        sample("looptest_closings_total", QStringLiteral("relay=\"%1\"").arg(r),
               QString::number(results_.closings(r)));
    family("looptest_errors_total", "counter",
           "Errors charged to a relay in this run, by kind: its input inactive while it was "
           "closed, active while it was open, or a write of its port that failed.");
    for (int r = 0; r < 16; ++r)
        for (int k = 0; k < 3; ++k)
            sample("looptest_errors_total",
                   QStringLiteral("relay=\"%1\",kind=\"%2\"")
                       .arg(r)
                       .arg(QLatin1String(kindName(static_cast<ErrorKind>(k)))),
                   QString::number(errors_[r][k]));
    // A family's samples follow its own header, all of them, before the next family's.
    auto port = [](int p) { return QStringLiteral("port=\"%1\"").arg(p); };
    family("looptest_failed_reads_total", "counter", "Reads of an input port that failed.");
    for (int p = 0; p < 2; ++p)
        sample("looptest_failed_reads_total", port(p), QString::number(failedReads_[p]));
    family("looptest_failed_writes_total", "counter",
           "Writes of a relay port that failed, charged to a relay or not.");
    for (int p = 0; p < 2; ++p)
        sample("looptest_failed_writes_total", port(p), QString::number(failedWrites_[p]));
    family("looptest_running", "gauge", "1 while the run goes, 0 once it has ended.");
    sample("looptest_running", {}, running_ ? QStringLiteral("1") : QStringLiteral("0"));
    family("looptest_last_error_timestamp_seconds", "gauge",
           "When the last error came, in seconds since the epoch; 0 before any.");
    sample("looptest_last_error_timestamp_seconds", {}, seconds(lastErrorMs_));
    family("looptest_start_timestamp_seconds", "gauge",
           "When the run started, in seconds since the epoch.");
    sample("looptest_start_timestamp_seconds", {}, seconds(startMs_));
    return out;
}

void MetricsFile::write() {
    changed_ = false;
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSaveFile file(path_);
    if (file.open(QIODevice::WriteOnly) && file.write(text().toUtf8()) >= 0 && file.commit())
        return;
    if (!warned_ && onWarning) {
        warned_ = true;
        onWarning(
            QStringLiteral("Cannot write the metrics %1: %2.").arg(path_, file.errorString()));
    }
}
