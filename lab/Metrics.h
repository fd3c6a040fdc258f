#pragma once

#include "looptest/LoopResults.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>

// A run's figures in Prometheus' text format, for the node exporter's textfile collector: the
// loops, each relay's closings, the errors by relay and kind, the failed reads and writes, whether
// the run is going, the time of the last error and of the start, labelled with the device and the
// card. The file is replaced whole (written aside, then renamed) when something changed, at most
// every 10 s, at each checkpoint and at the end. The counters are the whole run's: a Reset in the
// window clears its counters, not these.
class MetricsFile : public QObject {
    Q_OBJECT
public:
    static constexpr int kEveryMs = 10'000;

    MetricsFile(const LoopResults& results, const QString& path, const QString& device,
                const QString& card);

    // The run goes: written at once, then as it changes.
    void start();
    // Written now if something changed.
    void checkpoint();
    // The run has ended: written one last time.
    void finish();
    // The file's text as it would be written now.
    QString text() const;
    // Told once when writing fails, with why.
    std::function<void(const QString&)> onWarning;

private:
    void write();

    const LoopResults& results_;
    QString path_, device_, card_;
    QTimer timer_;
    std::int64_t loops_ = 0;
    std::array<std::array<std::int64_t, 3>, 16> errors_{}; // by relay and mismatch/write kind
    std::array<std::int64_t, 2> failedReads_{}, failedWrites_{};
    qint64 startMs_ = 0, lastErrorMs_ = 0;
    bool running_ = false, changed_ = false, warned_ = false;
};
