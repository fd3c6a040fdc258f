#pragma once

#include "app/CommandLine.h"
#include "diagnosis/Diagnosis.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class DeviceSelectingCard;
class QThread;

Q_DECLARE_METATYPE(DiagnosisStep)
Q_DECLARE_METATYPE(ChannelDiagnosis)
Q_DECLARE_METATYPE(DiagnosisReport)

// One diagnosis at a time, on a thread of its own, so that the device's watch samples at full
// speed and the window answers throughout: it opens the device (which holds the card for this
// program, or is refused with the holder named), diagnoses and keeps the diagnosis as
// --diagnose does (the card's book in the lab through the queue, the run's record), and lets
// go of the device. What it finds comes as signals, queued to the thread that started it.
class DiagnosisJob : public QObject {
    Q_OBJECT
public:
    explicit DiagnosisJob(QObject* parent = nullptr);
    // Stops a diagnosis still running and waits for its end (every relay open).
    ~DiagnosisJob() override;

    // Starts a diagnosis on card (opened here; a device it holds already is used as it is)
    // with the options' card, operator, limits, repeats and read-back delay. False while one
    // runs.
    bool start(const Options& options, std::shared_ptr<DeviceSelectingCard> card);
    bool running() const { return thread_ != nullptr; }
    // Ends the diagnosis between two of its steps, as SIGINT ends --diagnose: every relay is
    // opened, the record is kept as cut short. Nothing when none runs.
    void cancel();
    // Waits up to ms for the diagnosis's end; true when none runs any longer.
    bool wait(int ms);

signals:
    // The device could not be opened: the words --diagnose prints ("cannot open SPEC: ...").
    void refused(const QString& words);
    void opened(const QString& device);
    void stepped(const DiagnosisStep& step);
    void timed(const ChannelDiagnosis& channel, bool followed);
    // What --diagnose says on stderr meanwhile.
    void warned(const QString& words);
    void finished(const DiagnosisReport& report);

private:
    QThread* thread_ = nullptr;
    std::atomic<bool> stop_{false};
};
