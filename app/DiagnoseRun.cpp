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

bool save(const std::string& path, const QString& text, QString& why) {
    QSaveFile file(QString::fromStdString(path));
    if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit())
        return true;
    why = file.errorString();
    return false;
}

// The record: the start row, a row per channel (0 when it is ok, 1 when not, and its class,
// words and figures), and the end row with the verdict.
void record(const QString& path, const QString& detail, const DiagnosisReport& r, std::FILE* err) {
    using logformat::Event;
    LogFile log;
    QString why;
    if (!log.open(path, why)) {
        std::fprintf(err, "looptest: %s The diagnosis goes on without a record.\n",
                     qPrintable(why));
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
        std::fprintf(err, "looptest: %s\n", qPrintable(log.error()));
}

} // namespace

int runDiagnosis(const Options& o, std::vector<std::unique_ptr<DeviceEntry>> entries,
                 std::FILE* out, std::FILE* err) {
    DiagnosisSettings settings;
    settings.limits = o.judgedBy;
    const QString who = QString::fromStdString(o.operatorName);
    DeviceSelectingCard card(std::move(entries));
    card.preselect(*o.device);
    card.setChooserShown(false);
    if (!card.SelectDevice()) {
        std::fprintf(err, "looptest: cannot open %s: %s\n", o.device->text.c_str(),
                     qPrintable(card.openError()));
        return exitstatus::kCannotOpen;
    }
    card.setActive(true);

    // Where the record goes, named once: the card's run names it too.
    const QString logPath = logPathFor(o, QDateTime::currentMSecsSinceEpoch());
    // A card named has its book: this diagnosis's closings are added to its relays'.
    const QString cardId = QString::fromStdString(o.card);
    std::unique_ptr<CardRun> book;
    if (!cardId.isEmpty()) {
        book = std::make_unique<CardRun>(cardId, o.relayLife, labDatabaseUrl(o));
        book->onLifePassed = [&](int relay, std::int64_t closings) {
            std::fprintf(err,
                         "looptest: relay %d of card %s passed its rated life of %lld "
                         "closings (%lld so far)\n",
                         relay, o.card.c_str(), static_cast<long long>(o.relayLife),
                         static_cast<long long>(closings));
        };
        book->onWarning = [err](const QString& why) {
            std::fprintf(err, "looptest: %s\n", qPrintable(why));
        };
        book->setOperator(who);
        QString why;
        if (!book->start(QString::fromStdString(o.device->text), logPath, why)) {
            std::fprintf(err, "looptest: %s. The diagnosis goes on without the lab's records.\n",
                         qPrintable(why));
            book.reset();
        }
    }

    // SIGINT and SIGTERM stop the diagnosis between its steps; the relays open, the reports
    // are written.
    SignalCatcher catcher;
    settings.repeat = o.repeat;
    settings.readbackMs = o.readbackMs;
    DiagnosisReport report;
    ClosingCounter counted(*card.device());
    // Progress on stderr once a diagnosis has run a few seconds (a slow or dead card), a line
    // every few seconds: what it does now.
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 toldAt = 0;
    auto progress = [&](const std::string& what) {
        const qint64 ms = elapsed.elapsed();
        if (ms < 3000 || ms - toldAt < 2000)
            return;
        toldAt = ms;
        std::fprintf(err, "looptest: diagnosing, %lld s: %s\n", ms / 1000, what.c_str());
        std::fflush(err);
    };
    report = diagnose(
        counted, settings, [&] { return catcher.caught() != 0; }, progress);
    report.device = o.device->text;
    report.card = o.card;
    report.operatorName = who.toStdString();
    report.host = labHostName().toStdString();
    if (book) {
        book->addClosings(counted.closings);
        book->setDiagnosis(report);
        book->finish(QStringLiteral("diagnosed"), report.passed());
    }
    std::fputs(diagnosisTable(report).toUtf8().constData(), out);
    std::fflush(out);

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
               report, err);
    bool written = true;
    QString why;
    const std::pair<const std::string&, std::function<bool()>> reports[] = {
        {o.json, [&] { return save(o.json, diagnosisJson(report), why); }},
        {o.html, [&] { return save(o.html, diagnosisHtml(report), why); }},
        {o.junit,
         [&] { return writeDiagnosisJUnit(QString::fromStdString(o.junit), report, why); }},
    };
    for (const auto& [path, write] : reports) {
        if (path.empty() || write())
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
