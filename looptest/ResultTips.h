#pragma once

#include "looptest/LoopResults.h"

#include <QObject>

#include <array>
#include <optional>

class QLabel;

// The tool tips of the counters and the verdict, made from the results as a person hovers:
// a relay's errors by kind and when its last came, the loop rate, the last error in words.
class ResultTips : public QObject {
    Q_OBJECT
public:
    ResultTips(const LoopResults& results, const std::array<QLabel*, 16>& errors, QLabel* loops,
               QLabel* verdict, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void noteError(const LoopError& e);
    QString relayTip(int relay) const;
    QString loopsTip() const;
    QString verdictTip() const;

    const LoopResults& results_;
    std::array<QLabel*, 16> errors_;
    QLabel* loops_;
    QLabel* verdict_;
    qint64 started_ = 0;       // when the first loop was counted
    qint64 countingSince_ = 0; // that, or the last Reset
    std::array<qint64, 16> lastErrorMs_{};
    std::array<std::int64_t, 16> lastErrorLoop_{};
    std::optional<LoopError> lastError_;
};
