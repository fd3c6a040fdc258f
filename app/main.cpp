#include "app/CommandLine.h"
#include "app/DiagnoseRun.h"
#include "app/DistinctFiles.h"
#include "app/HeadlessRun.h"
#include "app/Privileges.h"
#include "app/RunSetup.h"
#include "card/Backend.h"
#include "lab/CardBook.h"
#include "lab/LabDatabase.h"
#include "runlog/Summary.h"
#include "window/AppSetup.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>

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

// A card's book and its last runs, from the lab's database.
int cardHistory(const Options& options) {
    LabDatabase db(labDatabaseUrl(options));
    LabDatabase::History history;
    QString why;
    bool known = false;
    if (!db.open(why) ||
        !db.history(QString::fromStdString(options.cardHistory), 10, history, known, why)) {
        std::fprintf(stderr, "looptest: %s\n", qPrintable(why));
        return exitstatus::kUnavailable;
    }
    if (!known) {
        std::fprintf(stderr, "looptest: the lab database %s knows no card %s\n",
                     qPrintable(db.where()), options.cardHistory.c_str());
        return exitstatus::kNoInput;
    }
    std::fputs(historyTable(history).toUtf8().constData(), stdout);
    return exitstatus::kPassed;
}

// The window, as a person at the bench uses it: its warnings in boxes that stop nothing.
int runWindow(int argc, char* argv[], const Options& options, const DeviceSpec* named) {
    setUpQtEnvironment();
    QApplication app(argc, argv);
    setUpApplication(app);

    RunSetup run(standardDeviceEntries({}, named), options);
    LoopTest& window = run.window();
    QObject::connect(&window, &LoopTest::programEnded, &app, [] { QCoreApplication::exit(0); });
    if (!run.open())
        return 0;

    run.onWarning = [](const QString& why) {
        std::fprintf(stderr, "looptest: %s\n", qPrintable(why));
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
    const DeviceSpec* named = options.device ? &*options.device : nullptr;
    switch (options.mode) {
    case Options::Mode::Help:
        std::fputs(helpText().c_str(), stdout);
        return exitstatus::kPassed;
    case Options::Mode::Version:
        std::fputs(versionText().c_str(), stdout);
        return exitstatus::kPassed;
    case Options::Mode::Summary:
        return summarize(options);
    case Options::Mode::CardHistory: {
        // Qt loads its SQL drivers as plugins, which needs an application.
        QCoreApplication app(argc, argv);
        return cardHistory(options);
    }
    case Options::Mode::Diagnose: {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QCoreApplication app(argc, argv);
        return runDiagnosis(options, standardDeviceEntries({}, named));
    }
    case Options::Mode::Headless: {
        // No display is needed or used, whatever the environment names.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        setUpQtEnvironment();
        QApplication app(argc, argv);
        setUpApplication(app);
        return runHeadless(options, standardDeviceEntries({}, named));
    }
    case Options::Mode::Window:
        break;
    }

    return runWindow(argc, argv, options, named);
}
