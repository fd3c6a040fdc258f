#include "app/CommandLine.h"
#include "app/DiagnoseRun.h"
#include "app/DistinctFiles.h"
#include "app/HeadlessRun.h"
#include "app/Privileges.h"
#include "app/RunSetup.h"
#include "app/SignalCatcher.h"
#include "card/Backend.h"
#include "card/CardHold.h"
#include "lab/History.h"
#include "lab/LabCourier.h"
#include "lab/LabDatabase.h"
#include "lab/LabQueue.h"
#include "labwindow/LabWindow.h"
#include "runlog/Summary.h"
#include "window/AppSetup.h"
#include "window/DesktopNotice.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QSaveFile>

#include <cstdio>

namespace {

// --summary: the table on stdout, the report if asked; the exit status follows the verdict.
int summarize(const Options& options) {
    const QString path = QString::fromStdString(options.summary);
    RunSummary summary;
    QString why;
    if (!readRunLog(path, summary, why)) {
        std::fprintf(stderr, "looptest: %s\n", qPrintable(why));
        return exitstatus::kNoInput;
    }
    std::fputs(summaryTable(summary).toUtf8().constData(), stdout);
    if (summary.state == RunSummary::State::Damaged)
        std::fprintf(stderr, "looptest: %s is damaged: %s\n", qPrintable(path),
                     qPrintable(summary.damage));
    if (!options.html.empty()) {
        QFile log(path);
        QFile html(QString::fromStdString(options.html));
        if (!log.open(QIODevice::ReadOnly) || !html.open(QIODevice::WriteOnly) ||
            html.write(summaryHtml(summary, log).toUtf8()) < 0) {
            std::fprintf(stderr, "looptest: cannot write %s: %s\n", options.html.c_str(),
                         qPrintable(html.errorString()));
            return exitstatus::kCannotCreate;
        }
    }
    switch (summary.verdict()) {
    case RunSummary::Verdict::Pass:
        return exitstatus::kPassed;
    case RunSummary::Verdict::Fail:
        return exitstatus::kErrorsCounted;
    case RunSummary::Verdict::Damaged:
        break;
    }
    return exitstatus::kDataError;
}

// What waits in the lab's queue goes first, once; what still waits is said.
LabCourier::SyncResult syncLab(bool quiet) {
    const LabCourier::SyncResult r = LabCourier::syncNow();
    for (const QString& line : r.lines)
        if (!quiet || !line.startsWith(QLatin1String("delivered:")))
            std::fprintf(stderr, "looptest: %s\n", qPrintable(line));
    return r;
}

// --lab-sync: the queue delivered; the status says whether anything still waits.
int labSync() {
    const LabCourier::SyncResult r = syncLab(false);
    std::fprintf(stderr, "looptest: %d runs delivered, %d still wait on this PC\n", r.delivered,
                 r.stillWaiting);
    if (r.unreachable)
        return exitstatus::kUnavailable;
    return r.stillWaiting == 0 ? exitstatus::kPassed : exitstatus::kUnavailable;
}

// A card's book and its last runs, from the lab's database, after what waited on this PC; and
// how many of its runs still wait here.
int cardHistory(const Options& options) {
    syncLab(true);
    const QString card = QString::fromStdString(options.cardHistory);
    const labqueue::CardQueue queued = labqueue::queuedOf(card);
    QString waits;
    if (queued.waiting > 0)
        waits += QStringLiteral("%1 run%2 of card %3 wait%4 on this PC to reach the lab database "
                                "(looptest --lab-sync)\n")
                     .arg(queued.waiting)
                     .arg(queued.waiting == 1 ? "" : "s")
                     .arg(card)
                     .arg(queued.waiting == 1 ? "s" : "");
    if (queued.inProgress > 0)
        waits += QStringLiteral("%1 run%2 of card %3 in progress on this PC\n")
                     .arg(queued.inProgress)
                     .arg(queued.inProgress == 1 ? "" : "s")
                     .arg(card);
    LabDatabase db(labDatabaseUrl(options));
    LabDatabase::History history;
    QString why;
    bool known = false;
    if (!db.open(why) || !db.history(card, options.runs, history, known, why)) {
        std::fprintf(stderr, "looptest: %s\n%s", qPrintable(why), qPrintable(waits));
        return exitstatus::kUnavailable;
    }
    if (!known) {
        std::fprintf(stderr, "looptest: the lab database %s knows no card %s\n%s",
                     qPrintable(db.where()), options.cardHistory.c_str(), qPrintable(waits));
        return exitstatus::kNoInput;
    }
    std::fputs((historyTable(history, options.judgedBy) + waits).toUtf8().constData(), stdout);
    if (!options.html.empty()) {
        QSaveFile html(QString::fromStdString(options.html));
        if (!html.open(QIODevice::WriteOnly) ||
            html.write(historyHtml(history, options.judgedBy).toUtf8()) < 0 || !html.commit()) {
            std::fprintf(stderr, "looptest: cannot write %s: %s\n", options.html.c_str(),
                         qPrintable(html.errorString()));
            return exitstatus::kCannotCreate;
        }
    }
    return exitstatus::kPassed;
}

// The lab's courier for the modes that run: what earlier programs left in the queue is
// delivered off the main thread from the start, and the courier stops before the application
// goes (its try under way finished).
struct Courier {
    Courier() {
        LabCourier& c = LabCourier::instance();
        c.onNote = [](const QString& words) {
            std::fprintf(stderr, "looptest: %s\n", qPrintable(words));
        };
        c.deliverWaiting();
    }
    ~Courier() { LabCourier::instance().stop(); }
};

// The window, as a person at the bench uses it: its warnings in boxes that stop nothing.
int runWindow(int argc, char* argv[], const Options& options, const DeviceSpec* named) {
    setUpQtEnvironment();
    QApplication app(argc, argv);
    setUpApplication(app);
    const Courier courier;

    RunSetup run(standardDeviceEntries({}, named), options);
    LoopTest& window = run.window();
    QObject::connect(&window, &LoopTest::programEnded, &app, [] { QCoreApplication::exit(0); });
    if (!run.open())
        return 0;

    run.onWarning = [](const QString& why) {
        std::fprintf(stderr, "looptest: %s\n", qPrintable(why));
    };
    // A person at the window learns of records that wait, and of their delivery, from the
    // desktop where it has a notification service; the terminal and the record tell as ever.
    const QString card = run.card().cardId();
    run.onRecordsWait = [card](bool waiting, const QString& words) {
        notifyDesktop(waiting ? QStringLiteral("The records of card %1 wait on this PC").arg(card)
                              : QStringLiteral("The records of card %1 were delivered").arg(card),
                      words);
    };
    run.recorder().onWarning = [&window](const QString& why) {
        // Said without stopping anything: the test goes on while the box is up.
        auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Run record"), why,
                                    QMessageBox::Ok, &window);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
    };
    QString logError;
    if (!run.startRecord(logError))
        QMessageBox::warning(nullptr, QStringLiteral("Run record"),
                             logError + QStringLiteral(" The test goes on without a record."));
    window.show();
    return QApplication::exec();
}

// The lab window: every card's health, a card's life, the records' state. The courier
// delivers what waits on this PC meanwhile, and what it has to say goes to the window too.
int runLab(int argc, char* argv[], const Options& options, const QString& refusedLimits) {
    setUpQtEnvironment();
    QApplication app(argc, argv);
    setUpApplication(app);
    CardHold::setProgram("looptest --lab");
    LabWindow window(labDatabaseUrl(options), options.judgedBy, options.runs, nullptr, options);
    LabCourier& courier = LabCourier::instance();
    courier.onNote = [&window](const QString& words) {
        std::fprintf(stderr, "looptest: %s\n", qPrintable(words));
        QMetaObject::invokeMethod(&window, [&window, words] { window.note(words); });
    };
    courier.deliverWaiting();
    if (!refusedLimits.isEmpty())
        window.note(refusedLimits + QStringLiteral(": the default limits judge the cards"));
    // SIGINT and SIGTERM close the window as a person would: a diagnosis running ends as if
    // cancelled, every relay open and its run kept as cut short.
    const SignalCatcher catcher([&window](int) { window.close(); });
    window.show();
    const int status = QApplication::exec();
    courier.stop();
    courier.onNote = nullptr;
    return catcher.caught() ? 128 + catcher.caught() : status;
}

} // namespace

int main(int argc, char* argv[]) {
    // First of all, before Qt reads its environment or loads a plugin.
    std::string why;
    if (!giveUpPrivileges(why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return exitstatus::kNoPermission;
    }

    // The command line is read before Qt starts, so that help, the version and every usage
    // error need no display.
    Options options;
    if (!parseCommandLine({argv + 1, argv + argc}, options, why)) {
        std::fprintf(stderr, "looptest: %s\n%s", why.c_str(), usageText().c_str());
        return exitstatus::kUsage;
    }
    // Nothing is opened, created or truncated before this: no output may replace an input.
    if (!filesAreDistinct(options, why)) {
        std::fprintf(stderr, "looptest: %s\n", why.c_str());
        return exitstatus::kUsage;
    }
    // A limits file that does not read is refused before anything runs, with its line; the
    // window, whose settings file may name it, says so and judges by the defaults.
    QString refused;
    if (options.mode == Options::Mode::Window || options.mode == Options::Mode::Headless ||
        options.mode == Options::Mode::Diagnose || options.mode == Options::Mode::CardHistory ||
        options.mode == Options::Mode::Lab) {
        if (!settleOptions(options, refused)) {
            std::fprintf(stderr, "looptest: %s\n", qPrintable(refused));
            if (options.mode != Options::Mode::Window && options.mode != Options::Mode::Lab)
                return exitstatus::kUsage;
        }
    }
    const DeviceSpec* named = options.device ? &*options.device : nullptr;
    switch (options.mode) {
    case Options::Mode::Help:
        std::fputs(helpText().c_str(), stdout);
        return exitstatus::kPassed;
    case Options::Mode::Version:
        std::fputs(versionText().c_str(), stdout);
        return exitstatus::kPassed;
    case Options::Mode::Summary: {
        // Qt loads its SQL drivers as plugins, which needs an application.
        QCoreApplication app(argc, argv);
        const Courier courier;
        return summarize(options);
    }
    case Options::Mode::CardHistory: {
        QCoreApplication app(argc, argv);
        return cardHistory(options);
    }
    case Options::Mode::Lab:
        return runLab(argc, argv, options, refused);
    case Options::Mode::LabSync: {
        QCoreApplication app(argc, argv);
        return labSync();
    }
    case Options::Mode::Diagnose: {
        CardHold::setProgram("looptest --diagnose");
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QCoreApplication app(argc, argv);
        const Courier courier;
        return runDiagnosis(options, standardDeviceEntries({}, named));
    }
    case Options::Mode::Headless: {
        CardHold::setProgram("looptest --headless");
        // No display is needed or used, whatever the environment names.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        setUpQtEnvironment();
        QApplication app(argc, argv);
        setUpApplication(app);
        const Courier courier;
        return runHeadless(options, standardDeviceEntries({}, named));
    }
    case Options::Mode::Window:
        CardHold::setProgram("looptest (its window)");
        break;
    }

    return runWindow(argc, argv, options, named);
}
