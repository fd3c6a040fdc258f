#include "app/DiagnoseRun.h"

#include "app/RunSetup.h"
#include "app/SignalCatcher.h"
#include "card/DeviceSelectingCard.h"
#include "diagnosis/Reports.h"
#include "lab/CardRun.h"
#include "lab/ClosingCounter.h"
#include "runlog/LogFile.h"
#include "runlog/Wording.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSaveFile>

namespace {

// The record: the start row, a row per channel (0 when it is ok, 1 when not, and its class,
// words and figures), and the end row with the verdict.
void record(const QString& path, const QString& detail, const DiagnosisReport& r,
            const std::function<void(const QString&)>& warn) {
    using logformat::Event;
    LogFile log;
    QString why;
    if (!log.open(path, why)) {
        warn(why + QStringLiteral(" The diagnosis goes on without a record."));
        return;
    }
    auto row = [&](Event event, int channel, std::int64_t count, const QString& words) {
        logformat::LogRow row;
        row.ms = QDateTime::currentMSecsSinceEpoch();
        row.event = event;
        row.channel = channel;
        row.count = count;
        row.detail = words;
        log.write(row);
    };
    row(Event::Start, -1, -1, detail);
    if (!r.card.empty())
        row(Event::Card, -1, -1, QString::fromStdString(r.card));
    int failed = r.failure.empty() ? 0 : 1;
    for (const ChannelDiagnosis& c : r.channels) {
        const bool ok = c.kind == ChannelDiagnosis::Class::Ok;
        failed += ok ? 0 : 1;
        row(Event::Diagnosis, c.relay, ok ? 0 : 1,
            QStringLiteral("%1: %2; %3; resolution %4 ms")
                .arg(QLatin1String(className(c.kind)), QString::fromStdString(c.words),
                     channelFigures(c))
                .arg(r.resolutionMs, 0, 'f', 3));
    }
    row(Event::End, -1, failed, endDetail(r.passed(), QString::fromStdString(r.failure)));
    if (!log.isOpen())
        warn(log.error());
}

} // namespace

DiagnosisReport diagnoseAndKeep(const Options& o, DeviceSelectingCard& card,
                                const std::function<bool()>& stopped,
                                const DiagnosisObserver& observer,
                                const std::function<void(const QString&)>& warn) {
    DiagnosisSettings settings;
    settings.limits = o.judgedBy;
    settings.repeat = o.repeat;
    settings.readbackMs = o.readbackMs;
    const QString who = QString::fromStdString(o.operatorName);
    card.setActive(true);

    // Where the record goes, named once: the card's run names it too.
    const QString logPath = logPathFor(o, QDateTime::currentMSecsSinceEpoch());
    const QString device = o.device ? QString::fromStdString(o.device->text) : card.deviceName();
    // A card named has its book: this diagnosis's closings are added to its relays'.
    const QString cardId = QString::fromStdString(o.card);
    std::unique_ptr<CardRun> book;
    if (!cardId.isEmpty()) {
        book = std::make_unique<CardRun>(cardId, o.relayLife, labDatabaseUrl(o));
        book->onLifePassed = [&](int relay, std::int64_t closings) {
            warn(QStringLiteral("relay %1 of card %2 passed its rated life of %3 closings (%4 "
                                "so far)")
                     .arg(relay)
                     .arg(cardId)
                     .arg(o.relayLife)
                     .arg(closings));
        };
        book->onWarning = warn;
        book->setOperator(who);
        QString why;
        if (!book->start(device, logPath, why)) {
            warn(why + QStringLiteral(". The diagnosis goes on without the lab's records."));
            book.reset();
        }
    }

    ClosingCounter counted(*card.device());
    DiagnosisReport report = diagnose(counted, settings, stopped, observer);
    report.device = device.toStdString();
    report.card = o.card;
    report.operatorName = who.toStdString();
    report.host = labHostName().toStdString();
    if (book) {
        book->addClosings(counted.closings);
        book->setDiagnosis(report);
        book->finish(report.failure == kDiagnosisCutShort ? QStringLiteral("cut short")
                                                          : QStringLiteral("diagnosed"),
                     report.passed());
    }
    if (!logPath.isEmpty())
        record(logPath,
               QStringLiteral("diagnosis; device: %1; settings: %2; operator %6; host %7; "
                              "repeat %3; read-back delay %4 ms; limits %8; %5")
                   .arg(card.deviceName(), card.deviceSettings())
                   .arg(o.repeat)
                   .arg(o.readbackMs)
                   .arg(QString::fromStdString(versionText()).trimmed(), who, labHostName(),
                        settings.limits.source.empty()
                            ? QStringLiteral("the defaults")
                            : QString::fromStdString(settings.limits.source)),
               report, warn);
    card.setActive(false);
    return report;
}

bool saveDiagnosis(const QString& path, DiagnosisFile kind, const DiagnosisReport& report,
                   QString& why) {
    if (kind == DiagnosisFile::JUnit)
        return writeDiagnosisJUnit(path, report, why);
    QSaveFile file(path);
    const QString text =
        kind == DiagnosisFile::Json ? diagnosisJson(report) : diagnosisHtml(report);
    if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit())
        return true;
    why = file.errorString();
    return false;
}

int runDiagnosis(const Options& o, std::vector<std::unique_ptr<DeviceEntry>> entries,
                 std::FILE* out, std::FILE* err) {
    DeviceSelectingCard card(std::move(entries));
    card.preselect(*o.device);
    card.setChooserShown(false);
    if (!card.SelectDevice()) {
        std::fprintf(err, "looptest: cannot open %s: %s\n", o.device->text.c_str(),
                     qPrintable(card.openError()));
        return exitstatus::kCannotOpen;
    }

    // SIGINT and SIGTERM stop the diagnosis between its steps; the relays open, the reports
    // are written.
    SignalCatcher catcher;
    // Progress on stderr once a diagnosis has run a few seconds (a slow or dead card), a line
    // every few seconds: what it does now.
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 toldAt = 0;
    DiagnosisObserver observer;
    observer.step = [&](const DiagnosisStep& step) {
        const qint64 ms = elapsed.elapsed();
        if (ms < 3000 || ms - toldAt < 2000)
            return;
        toldAt = ms;
        std::fprintf(err, "looptest: diagnosing, %lld s: %s\n", ms / 1000, step.what.c_str());
        std::fflush(err);
    };
    const DiagnosisReport report = diagnoseAndKeep(
        o, card, [&] { return catcher.caught() != 0; }, observer,
        [err](const QString& words) { std::fprintf(err, "looptest: %s\n", qPrintable(words)); });
    std::fputs(diagnosisTable(report).toUtf8().constData(), out);
    std::fflush(out);

    bool written = true;
    const std::pair<const std::string&, DiagnosisFile> reports[] = {
        {o.json, DiagnosisFile::Json},
        {o.html, DiagnosisFile::Html},
        {o.junit, DiagnosisFile::JUnit},
    };
    for (const auto& [path, kind] : reports) {
        QString why;
        if (path.empty() || saveDiagnosis(QString::fromStdString(path), kind, report, why))
            continue;
        std::fprintf(err, "looptest: cannot write %s: %s\n", path.c_str(), qPrintable(why));
        written = false;
    }
    if (catcher.caught())
        return 128 + catcher.caught();
    if (!written)
        return exitstatus::kCannotCreate;
    return report.passed() ? exitstatus::kPassed : exitstatus::kErrorsCounted;
}
