#include "app/RunSetup.h"

#include "card/DeviceSelectingCard.h"
#include "runlog/RunRecorder.h"
#include "window/LoopTest.h"

#include <QAbstractSlider>
#include <QDir>

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

QString startDetail(const DeviceSelectingCard& card, const LoopTest& window) {
    auto value = [&](const char* bar) {
        return window.findChild<QAbstractSlider*>(QString::fromLatin1(bar))->value();
    };
    return QStringLiteral("device: %1; settings: %2; step period %3 ms; read-back delay %4 ms; %5")
        .arg(card.deviceName(), card.deviceSettings())
        .arg(value("VScroll1"))
        .arg(value("VScroll2"))
        .arg(QString::fromStdString(versionText()).trimmed());
}
