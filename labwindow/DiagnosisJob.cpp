#include "labwindow/DiagnosisJob.h"

#include "app/DiagnoseRun.h"
#include "card/DeviceSelectingCard.h"

#include <QThread>

DiagnosisJob::DiagnosisJob(QObject* parent)
    : QObject(parent) {
    qRegisterMetaType<DiagnosisStep>();
    qRegisterMetaType<ChannelDiagnosis>();
    qRegisterMetaType<DiagnosisReport>();
}

DiagnosisJob::~DiagnosisJob() {
    cancel();
    if (thread_) {
        thread_->wait();
        delete thread_;
    }
}

bool DiagnosisJob::start(const Options& options, std::shared_ptr<DeviceSelectingCard> card) {
    if (thread_)
        return false;
    stop_ = false;
    thread_ = QThread::create([this, options, card] {
        if (!card->device() && !card->SelectDevice()) {
            emit refused(QStringLiteral("cannot open %1: %2")
                             .arg(options.device ? QString::fromStdString(options.device->text)
                                                 : card->preselectedName(),
                                  card->openError()));
            return;
        }
        emit opened(card->deviceName());
        DiagnosisObserver observer;
        observer.step = [this](const DiagnosisStep& step) { emit stepped(step); };
        observer.timed = [this](const ChannelDiagnosis& c, bool followed) {
            emit timed(c, followed);
        };
        const DiagnosisReport report = diagnoseAndKeep(
            options, *card, [this] { return stop_.load(); }, observer,
            [this](const QString& words) { emit warned(words); });
        // The card is let go before the window hears the end: the next program may take it.
        card->closeKeepingChoice();
        emit finished(report);
    });
    connect(thread_, &QThread::finished, this, [this] {
        thread_->deleteLater();
        thread_ = nullptr;
    });
    thread_->start();
    return true;
}

void DiagnosisJob::cancel() {
    stop_ = true;
}

bool DiagnosisJob::wait(int ms) {
    return !thread_ || thread_->wait(QDeadlineTimer(ms));
}
