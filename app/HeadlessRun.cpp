#include "app/HeadlessRun.h"

#include "app/RunSetup.h"
#include "app/SignalCatcher.h"
#include "runlog/JUnitReport.h"
#include "runlog/Wording.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <array>
#include <csignal>
#include <unistd.h>

namespace {

// What the run counted, as the results hold it at the end.
struct Outcome {
    std::array<std::int64_t, 16> errors{};
    std::int64_t loops = 0;
    std::int64_t failedWrites = 0; // charged to a relay or not
    RunTally tally;
    double seconds = 0;

    Outcome(const LoopResults& results, double runSeconds, bool brokeOff = false)
        : loops(results.loops())
        , failedWrites(results.failedWrites())
        , tally(results.tally())
        , seconds(runSeconds) {
        for (int r = 0; r < 16; ++r)
            errors[r] = results.errors(r);
        tally.other = brokeOff ? 1 : 0;
    }
};

// Each relay's figures judged: the limits, then every figure that is not within its limit, and
// whether the card's life could be judged.
void printJudged(std::FILE* out, const RunSetup& run, bool card) {
    const Limits& l = run.limits();
    std::fprintf(out,
                 "limits (%s): %.12g errors per million closings, a rated life of %.12g closings; "
                 "marginal past %g%%\n",
                 l.source.empty() ? "the defaults" : l.source.c_str(), l.errorsPerMillion,
                 l.ratedLife, l.marginal * 100);
    for (const Verdict at : {Verdict::Fail, Verdict::Marginal})
        for (const RunSetup::Judged& j : run.judged())
            if (j.measured.verdict == at)
                std::fprintf(out, "relay %d: %s\n", j.relay, j.measured.words().c_str());
    if (card && !run.lifeJudged())
        std::fprintf(out, "the relays' life is not judged: the lab database did not tell the "
                          "card's other runs\n");
}

void printTable(std::FILE* out, const Outcome& r) {
    std::fprintf(out, "relay  input  errors\n");
    for (int relay = 0; relay < 16; ++relay)
        std::fprintf(out, "%5d  %5d  %6lld\n", relay, 15 - relay,
                     static_cast<long long>(r.errors[relay]));
    std::fprintf(out, "loops: %lld\n", static_cast<long long>(r.loops));
    std::fprintf(out, "failed reads: %lld\n", static_cast<long long>(r.tally.failedReads));
    std::fprintf(out, "failed writes: %lld (charged to no relay: %lld)\n",
                 static_cast<long long>(r.failedWrites),
                 static_cast<long long>(r.tally.unchargedWrites));
}

// How a run ended short of its end, in words; empty when it came to its end.
QString endingWords(int signal, bool brokeOff, const QString& message, std::int64_t loops,
                    const QString& takenOver) {
    if (!takenOver.isEmpty())
        return QStringLiteral("%1 after %2 loops: the run ended there, and nothing after it was "
                              "counted")
            .arg(takenOver)
            .arg(loops);
    if (brokeOff)
        return QStringLiteral("a run-time error ended the run after %1 loops: %2")
            .arg(loops)
            .arg(message.isEmpty() ? QStringLiteral("(no words)") : message);
    if (signal)
        return QStringLiteral("stopped by %1 after %2 loops, before its end")
            .arg(signal == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"))
            .arg(loops);
    return {};
}

// The report: a case per relay, the reads and the writes charged to no relay; and, when the
// run did not come to its end (a run-time error, a signal), a failing case that says so, so
// that the report fails whenever the exit status does.
bool writeJUnit(const QString& path, const Options& o, const Outcome& r, const RunSetup& run,
                const QString& ending, QString& why) {
    const QString card = run.card().cardId();
    const QList<int>& lifePassed = run.lifePassed();
    // Each relay's figures judged, and those that failed.
    std::array<JUnitReport::Properties, 16> judged;
    std::array<QStringList, 16> past;
    for (const RunSetup::Judged& j : run.judged()) {
        const Measurement& m = j.measured;
        const QString key =
            QString::fromStdString(m.name == "errors" ? "errors_per_million" : "life_closings");
        judged[j.relay].push_back({key, QString::number(m.value, 'f', m.name == "errors" ? 1 : 0)});
        judged[j.relay].push_back({key + QStringLiteral("_unit"), QString::fromStdString(m.unit)});
        judged[j.relay].push_back({key + QStringLiteral("_limit"), QString::number(m.limit)});
        judged[j.relay].push_back(
            {key + QStringLiteral("_verdict"), QLatin1String(verdictName(m.verdict))});
        if (m.verdict == Verdict::Fail)
            past[j.relay] << QString::fromStdString(m.words());
    }
    QStringList passed;
    for (int relay : lifePassed)
        passed << QString::number(relay);
    int failures = (r.tally.failedReads > 0 ? 1 : 0) + (r.tally.unchargedWrites > 0 ? 1 : 0);
    for (int relay = 0; relay < 16; ++relay)
        failures += r.errors[relay] > 0 || !past[relay].isEmpty() ? 1 : 0;
    failures += ending.isEmpty() ? 0 : 1;
    JUnitReport report;
    if (!report.open(path, QStringLiteral("looptest"), ending.isEmpty() ? 18 : 19, failures,
                     r.seconds, why))
        return false;
    report.properties({
        {QStringLiteral("device"), QString::fromStdString(o.device->text)},
        {QStringLiteral("step_ms"), QString::number(o.stepMs)},
        {QStringLiteral("readback_ms"), QString::number(o.readbackMs)},
        {QStringLiteral("loops"), QString::number(r.loops)},
        {QStringLiteral("verdict"), verdictProperty(r.tally.passed() && !run.judgedFail())},
        {QStringLiteral("card"), card},
        {QStringLiteral("operator"), run.who()},
        {QStringLiteral("host"), labHostName()},
        {QStringLiteral("relay_life_passed"), passed.isEmpty()
                                                  ? QString()
                                                  : QStringLiteral("relays %1 passed %2 closings")
                                                        .arg(passed.join(QStringLiteral(", ")))
                                                        .arg(o.relayLife)},
    });
    auto testCase = [&](const QString& name, std::int64_t count, const QString& message) {
        report.startCase(QStringLiteral("looptest"), name);
        if (count > 0)
            report.failure(message, QStringLiteral("%1 in %2 loops").arg(message).arg(r.loops));
        report.endCase();
    };
    for (int relay = 0; relay < 16; ++relay) {
        report.startCase(QStringLiteral("looptest"),
                         QStringLiteral("relay %1 -> input %2").arg(relay).arg(15 - relay));
        report.properties(judged[relay]);
        // The message names the errors where there are any, else the figure past its limit.
        QStringList failed = past[relay];
        if (r.errors[relay] > 0)
            failed.prepend(QStringLiteral("%1 errors").arg(r.errors[relay]));
        if (!failed.isEmpty())
            report.failure(failed.first(), QStringLiteral("%1 in %2 loops")
                                               .arg(failed.join(QStringLiteral("; ")))
                                               .arg(r.loops));
        report.endCase();
    }
    testCase(QStringLiteral("port reads"), r.tally.failedReads,
             QStringLiteral("%1 failed reads").arg(r.tally.failedReads));
    testCase(QStringLiteral("port writes"), r.tally.unchargedWrites,
             QStringLiteral("%1 failed writes charged to no relay").arg(r.tally.unchargedWrites));
    if (!ending.isEmpty()) {
        report.startCase(QStringLiteral("looptest"), QStringLiteral("the run to its end"));
        report.failure(ending, ending);
        report.endCase();
    }
    return report.commit(why);
}

// Drives the window as a person at the bench would for an unattended run: Auto at the start;
// Stop when the loop count or the time is reached or SIGINT or SIGTERM comes; OK once the last
// read-back has finished (every relay opens and the program ends).
class Course {
public:
    Course(LoopTest& window, const Options& options)
        : w_(window)
        , o_(options)
        , catcher_([this](int sig) {
            if (!caught)
                caught = sig;
            stop();
        }) {
        QObject::connect(&w_, &LoopTest::handled, &loop_, [this](LoopTest::Event event) {
            if (event != LoopTest::Event::ReadBack)
                return;
            if (stopping_)
                finish();
            else if (o_.loops > 0 && w_.results().loops() >= o_.loops)
                stop();
        });
        QObject::connect(&w_, &LoopTest::programEnded, &loop_, [this] {
            if (!finished_) { // a run-time error ended the program
                brokeOff = true;
                finished_ = true;
                loop_.quit();
            }
        });
        // The end by time is re-armed in steps so that runs of days fit a timer's interval.
        deadline_.setSingleShot(true);
        deadline_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline_, &QTimer::timeout, &loop_, [this] { arm(); });
    }

    // Runs to the end.
    void run() {
        elapsed_.start();
        w_.autoCmd_Click();
        if (o_.durationMs > 0)
            arm();
        if (!finished_)
            loop_.exec();
    }
    std::int64_t elapsedMs() const { return elapsed_.elapsed(); }

    int caught = 0;                // the signal that stopped the run
    bool relaysLeftClosed = false; // OK's writes failed
    bool brokeOff = false;         // a run-time error ended the program

private:
    void arm() {
        const std::int64_t left = o_.durationMs - elapsed_.elapsed();
        if (left <= 0)
            return stop();
        deadline_.start(static_cast<int>(std::min<std::int64_t>(left, 3'600'000)));
    }
    void stop() {
        if (stopping_)
            return;
        stopping_ = true;
        if (w_.results().autoMode())
            w_.autoCmd_Click();
        // A read-back still pending belongs to the run; its tick finishes it.
        if (!w_.readBackPending())
            finish();
    }
    void finish() {
        if (finished_)
            return;
        finished_ = true;
        w_.Command1_Click(); // every relay opens, and the program ends
        relaysLeftClosed = !w_.isEnded();
        loop_.quit();
    }

    LoopTest& w_;
    const Options& o_;
    QEventLoop loop_;
    QElapsedTimer elapsed_;
    QTimer deadline_;
    SignalCatcher catcher_;
    bool stopping_ = false;
    bool finished_ = false;
};

// Progress on err: one line kept up to date on a terminal, a plain line every 10 s elsewhere.
class Progress {
public:
    Progress(const LoopResults& results, const Options& options, const Course& course,
             std::FILE* err)
        : results_(results)
        , o_(options)
        , course_(course)
        , err_(err)
        , terminal_(::isatty(::fileno(err))) {
        ticker_.setInterval(terminal_ ? 250 : 10'000);
        QObject::connect(&ticker_, &QTimer::timeout, [this] { show(false); });
        ticker_.start();
    }
    void show(bool last) {
        const Outcome now(results_, 0);
        const std::int64_t ms = course_.elapsedMs();
        const double perSecond = ms > 0 ? 1000.0 * double(now.loops) / double(ms) : 0.0;
        QString line;
        std::int64_t leftMs = -1;
        if (o_.loops > 0) {
            line = QStringLiteral("loops %1 of %2").arg(now.loops).arg(o_.loops);
            if (perSecond > 0)
                leftMs =
                    static_cast<std::int64_t>(double(o_.loops - now.loops) / perSecond * 1000.0);
        } else {
            line = QStringLiteral("%1 of %2, loops %3")
                       .arg(durationText(ms, true), durationText(o_.durationMs, true))
                       .arg(now.loops);
            leftMs = std::max<std::int64_t>(0, o_.durationMs - ms);
        }
        line += QStringLiteral(", errors %1, %2 loops/s")
                    .arg(now.tally.failures())
                    .arg(perSecond, 0, 'f', 1);
        if (leftMs >= 0 && !last)
            line += QStringLiteral(", %1 left").arg(durationText(leftMs, true));
        if (terminal_)
            std::fprintf(err_, "\r%s\033[K%s", qPrintable(line), last ? "\n" : "");
        else
            std::fprintf(err_, "%s\n", qPrintable(line));
        std::fflush(err_);
    }
    void end() {
        ticker_.stop();
        show(true);
    }

private:
    const LoopResults& results_;
    const Options& o_;
    const Course& course_;
    std::FILE* err_;
    const bool terminal_;
    QTimer ticker_;
};

} // namespace

int runHeadless(const Options& o, std::vector<std::unique_ptr<DeviceEntry>> entries, std::FILE* out,
                std::FILE* err) {
    RunSetup run(std::move(entries), o);
    LoopTest& w = run.window();
    QString lastMessage; // a run-time error's words, for the report
    w.setMessageSink([err, &lastMessage](const QString& prompt, const QString&) {
        std::fprintf(err, "looptest: %s\n", qPrintable(prompt));
        lastMessage = prompt;
    });
    if (!run.open()) {
        std::fprintf(err, "looptest: cannot open %s: %s\n", o.device->text.c_str(),
                     qPrintable(run.card().openError()));
        return exitstatus::kCannotOpen;
    }
    // Through the spin controls' own change events, as a person would set them; the record
    // starts with the settings the run goes with.
    w.setSpeeds(o.stepMs, o.readbackMs);
    run.recorder().onWarning = [err](const QString& why) {
        std::fprintf(err, "looptest: %s\n", qPrintable(why));
    };
    run.onWarning = run.recorder().onWarning;
    QString why;
    if (!run.startRecord(why))
        std::fprintf(err, "looptest: %s The test goes on without a record.\n", qPrintable(why));

    Course course(w, o);
    Progress progress(run.results(), o, course, err);
    course.run();
    progress.end();

    const Outcome result(run.results(), double(course.elapsedMs()) / 1000.0, course.brokeOff);
    const bool passed = result.tally.passed() && !run.judgedFail();
    printTable(out, result);
    printJudged(out, run, !run.card().cardId().isEmpty());
    std::fprintf(out, "verdict: %s\n", qPrintable(verdictWord(passed)));
    std::fflush(out);
    if (course.relaysLeftClosed)
        std::fprintf(err, "looptest: the card did not take the writes that open every relay; "
                          "relays may still be closed\n");
    const QString ending = endingWords(course.caught, course.brokeOff, lastMessage,
                                       run.results().loops(), run.card().takenOver());
    if (!run.card().takenOver().isEmpty())
        std::fprintf(err, "looptest: %s\n", qPrintable(ending));
    if (!o.junit.empty() &&
        !writeJUnit(QString::fromStdString(o.junit), o, result, run, ending, why))
        std::fprintf(err, "looptest: cannot write the JUnit report %s: %s\n", o.junit.c_str(),
                     qPrintable(why));
    if (course.caught)
        return 128 + course.caught;
    if (course.brokeOff)
        return exitstatus::kSoftware;
    return passed ? exitstatus::kPassed : exitstatus::kErrorsCounted;
}
