#include "app/DiagnoseRun.h"

#include "app/RunSetup.h"
#include "card/DeviceSelectingCard.h"
#include "diagnosis/Reports.h"
#include "lab/CardBook.h"
#include "lab/ClosingCounter.h"
#include "runlog/LogFile.h"

#include <QDateTime>
#include <QSaveFile>

#include <csignal>

namespace {

volatile std::sig_atomic_t g_caught = 0;

extern "C" void noteSignal(int sig) {
    if (!g_caught)
        g_caught = sig;
}

// Catches SIGINT and SIGTERM for its life; the diagnosis asks between its steps.
class StopOnSignal {
public:
    StopOnSignal() {
        g_caught = 0;
        struct sigaction sa {};
        sa.sa_handler = noteSignal;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 2; ++i)
            ::sigaction(kSignals[i], &sa, &old_[i]);
    }
    ~StopOnSignal() {
        for (int i = 0; i < 2; ++i)
            ::sigaction(kSignals[i], &old_[i], nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    static constexpr int kSignals[2] = {SIGINT, SIGTERM};
    struct sigaction old_[2]{};
};

bool save(const std::string& path, const QString& text, QString& why) {
    QSaveFile file(QString::fromStdString(path));
    if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit())
        return true;
    why = file.errorString();
    return false;
}

// The record: the start row, a row per channel (0 when it is ok, 1 when not, and its class,
// words and times), and the end row with the verdict.
void record(const QString& path, const QString& detail, const DiagnosisReport& r, std::FILE* err) {
    LogFile log;
    QString why;
    if (!log.open(path, why)) {
        std::fprintf(err, "looptest: %s The diagnosis goes on without a record.\n",
                     qPrintable(why));
        return;
    }
    auto row = [&](const char* event, int channel, std::int64_t count, const QString& words) {
        log.write({LogFile::time(QDateTime::currentMSecsSinceEpoch()),
                   QStringLiteral("0"),
                   QString::fromLatin1(event),
                   channel >= 0 ? QString::number(channel) : QString(),
                   {},
                   {},
                   count >= 0 ? QString::number(count) : QString(),
                   words,
                   {}});
    };
    row("start", -1, -1, detail);
    if (!r.card.empty())
        row("card", -1, -1, QString::fromStdString(r.card));
    int failed = r.failure.empty() ? 0 : 1;
    const QString table = diagnosisTable(r);
    for (const ChannelDiagnosis& c : r.channels) {
        const bool ok = c.kind == ChannelDiagnosis::Class::Ok;
        failed += ok ? 0 : 1;
        // The channel's line of the table holds its times.
        const QString times =
            table.section(QLatin1Char('\n'), 3 + c.relay, 3 + c.relay).simplified();
        row("diagnosis", c.relay, ok ? 0 : 1,
            QStringLiteral("%1: %2; %3; resolution %4 ms")
                .arg(QLatin1String(className(c.kind)), QString::fromStdString(c.words), times)
                .arg(r.resolutionMs, 0, 'f', 3));
    }
    row("end", -1, failed,
        (r.passed() ? QStringLiteral("verdict PASS") : QStringLiteral("verdict FAIL")) +
            (r.failure.empty() ? QString()
                               : QStringLiteral("; ") + QString::fromStdString(r.failure)));
    if (!log.isOpen())
        std::fprintf(err, "looptest: %s\n", qPrintable(log.error()));
}

} // namespace

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
    card.setActive(true);

    // A card named has its book: this diagnosis's closings are added to its relays'.
    const QString cardId = QString::fromStdString(o.card);
    std::unique_ptr<CardBookKeeper> book;
    if (!cardId.isEmpty()) {
        book = std::make_unique<CardBookKeeper>(cardId, o.relayLife);
        book->onLifePassed = [&](int relay, std::int64_t closings) {
            std::fprintf(err,
                         "looptest: relay %d of card %s passed its rated life of %lld "
                         "closings (%lld so far)\n",
                         relay, o.card.c_str(), static_cast<long long>(o.relayLife),
                         static_cast<long long>(closings));
        };
        QString why;
        if (!book->start(why)) {
            std::fprintf(err, "looptest: %s The diagnosis goes on without the card's book.\n",
                         qPrintable(why));
            book.reset();
        }
    }

    DiagnosisSettings settings;
    settings.repeat = o.repeat;
    settings.readbackMs = o.readbackMs;
    DiagnosisReport report;
    ClosingCounter counted(*card.device());
    {
        StopOnSignal catcher;
        report = diagnose(counted, settings, [] { return g_caught != 0; });
    }
    if (book) {
        book->addClosings(counted.closings);
        book->checkpoint();
    }
    report.device = o.device->text;
    report.card = o.card;
    std::fputs(diagnosisTable(report).toUtf8().constData(), out);
    std::fflush(out);

    const QString logPath = logPathFor(o, QDateTime::currentMSecsSinceEpoch());
    if (!logPath.isEmpty())
        record(logPath,
               QStringLiteral("diagnosis; device: %1; settings: %2; repeat %3; read-back delay "
                              "%4 ms; %5")
                   .arg(card.deviceName(), card.deviceSettings())
                   .arg(o.repeat)
                   .arg(o.readbackMs)
                   .arg(QString::fromStdString(versionText()).trimmed()),
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
    if (g_caught)
        return 128 + g_caught;
    if (!written)
        return exitstatus::kCannotCreate;
    return report.passed() ? exitstatus::kPassed : exitstatus::kErrorsCounted;
}
