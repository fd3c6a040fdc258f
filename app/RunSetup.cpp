#include "app/RunSetup.h"

#include <QDateTime>
#include <QDir>

RunSetup::RunSetup(std::vector<std::unique_ptr<DeviceEntry>> entries, const Options& options)
    : logPath_(logPathFor(options, QDateTime::currentMSecsSinceEpoch()))
    , card_(std::move(entries))
    , window_(card_)
    , recorder_(window_.results()) {
    card_.setNote(logNote(logPath_));
    if (options.device)
        card_.preselect(*options.device);
    // Without a display nobody is there to choose: the named device opens, or nothing does.
    card_.setChooserShown(options.mode == Options::Mode::Window);
    QObject::connect(&window_, &LoopTest::programEnded, &recorder_, [this] {
        if (window_.endedByError())
            recorder_.finish(QStringLiteral("a run-time error ended the program"), 1);
        else
            recorder_.finish();
    });
}

bool RunSetup::open() {
    window_.Form_Load();
    return !window_.isEnded();
}

bool RunSetup::startRecord(QString& why) {
    return logPath_.isEmpty() ||
           recorder_.startLog(logPath_, startDetail(card_, window_.results()), why);
}

QString logPathFor(const Options& options, qint64 startMs) {
    if (options.noLog)
        return {};
    if (!options.logFile.empty())
        return QDir::current().absoluteFilePath(QString::fromStdString(options.logFile));
    return RunRecorder::defaultPath(startMs);
}

QString logNote(const QString& path) {
    return path.isEmpty() ? QStringLiteral("This run will not be recorded (--no-log).")
                          : QStringLiteral("This run will be recorded in %1").arg(path);
}

QString startDetail(const DeviceSelectingCard& card, const LoopResults& results) {
    return QStringLiteral("device: %1; settings: %2; step period %3 ms; read-back delay %4 ms; %5")
        .arg(card.deviceName(), card.deviceSettings())
        .arg(results.stepMs())
        .arg(results.readbackMs())
        .arg(QString::fromStdString(versionText()).trimmed());
}
