#include "app/HeadlessRun.h"

#include "app/RunSetup.h"
#include "card/DeviceSelectingCard.h"
#include "looptest/Counters.h"
#include "runlog/RunRecorder.h"
#include "window/LoopTest.h"
#include "window/WindowTimer.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>
#include <QXmlStreamWriter>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the pipe on which the signal handler passes SIGINT and SIGTERM to the
// event loop: a signal handler can reach nothing else.
int g_signalPipe = -1;

extern "C" void passSignal(int sig) {
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe, &c, 1);
}

// Catches SIGINT and SIGTERM for the life of a run and hands them to onSignal in the loop.
class SignalCatcher {
public:
    explicit SignalCatcher(std::function<void(int)> onSignal) {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        g_signalPipe = fds_[1];
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, onSignal] {
            char c = 0;
            while (::read(fds_[0], &c, 1) == 1)
                onSignal(c);
        });
        struct sigaction sa {};
        sa.sa_handler = passSignal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 2; ++i)
            ::sigaction(kSignals[i], &sa, &old_[i]);
    }
    ~SignalCatcher() {
        if (!notifier_)
            return;
        for (int i = 0; i < 2; ++i)
            ::sigaction(kSignals[i], &old_[i], nullptr);
        g_signalPipe = -1;
        notifier_.reset();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

private:
    static constexpr int kSignals[2] = {SIGINT, SIGTERM};
    int fds_[2] = {-1, -1};
    struct sigaction old_[2]{};
    std::unique_ptr<QSocketNotifier> notifier_;
};

QString clock(std::int64_t ms) {
    const std::int64_t s = ms / 1000;
    return s >= 3600 ? QStringLiteral("%1:%2:%3")
                           .arg(s / 3600)
                           .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(s % 60, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

struct Outcome {
    std::array<std::int64_t, 16> errors{};
    std::int64_t loops = 0;
    std::int64_t failedReads = 0;
    std::int64_t failedWrites = 0;
    double seconds = 0;
    std::int64_t total() const {
        std::int64_t sum = failedReads;
        for (std::int64_t e : errors)
            sum += e;
        return sum;
    }
};

void printTable(std::FILE* out, const Outcome& r, bool passed) {
    std::fprintf(out, "relay  input  errors\n");
    for (int relay = 0; relay < 16; ++relay)
        std::fprintf(out, "%5d  %5d  %6lld\n", relay, 15 - relay,
                     static_cast<long long>(r.errors[relay]));
    std::fprintf(out, "loops: %lld\n", static_cast<long long>(r.loops));
    std::fprintf(out, "failed reads: %lld\n", static_cast<long long>(r.failedReads));
    std::fprintf(out, "failed writes: %lld\n", static_cast<long long>(r.failedWrites));
    std::fprintf(out, "verdict: %s\n", passed ? "PASS" : "FAIL");
    std::fflush(out);
}

bool writeJUnit(const QString& path, const Options& o, const Outcome& r, QString& why) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        why = file.errorString();
        return false;
    }
    int failures = r.failedReads > 0 ? 1 : 0;
    for (std::int64_t e : r.errors)
        failures += e > 0 ? 1 : 0;
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), QStringLiteral("looptest"));
    xml.writeAttribute(QStringLiteral("tests"), QStringLiteral("17"));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("time"), QString::number(r.seconds, 'f', 3));
    xml.writeAttribute(QStringLiteral("timestamp"),
                       QDateTime::currentDateTime().toString(Qt::ISODate));
    xml.writeStartElement(QStringLiteral("properties"));
    const std::pair<const char*, QString> properties[] = {
        {"device", QString::fromStdString(o.device->text)},
        {"step_ms", QString::number(o.stepMs)},
        {"readback_ms", QString::number(o.readbackMs)},
        {"loops", QString::number(r.loops)},
    };
    for (const auto& [name, value] : properties) {
        xml.writeStartElement(QStringLiteral("property"));
        xml.writeAttribute(QStringLiteral("name"), QString::fromLatin1(name));
        xml.writeAttribute(QStringLiteral("value"), value);
        xml.writeEndElement();
    }
    xml.writeEndElement();
    auto testCase = [&](const QString& name, std::int64_t count, const QString& message) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("classname"), QStringLiteral("looptest"));
        xml.writeAttribute(QStringLiteral("name"), name);
        if (count > 0) {
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("message"), message);
            xml.writeCharacters(QStringLiteral("%1 in %2 loops").arg(message).arg(r.loops));
            xml.writeEndElement();
        }
        xml.writeEndElement();
    };
    for (int relay = 0; relay < 16; ++relay)
        testCase(QStringLiteral("relay %1 -> input %2").arg(relay).arg(15 - relay), r.errors[relay],
                 QStringLiteral("%1 errors").arg(r.errors[relay]));
    testCase(QStringLiteral("port reads"), r.failedReads,
             QStringLiteral("%1 failed reads").arg(r.failedReads));
    xml.writeEndDocument();
    if (!file.commit()) {
        why = file.errorString();
        return false;
    }
    return true;
}

} // namespace

int runHeadless(const Options& o, std::vector<std::unique_ptr<DeviceEntry>> entries, std::FILE* out,
                std::FILE* err) {
    DeviceSelectingCard tak(std::move(entries));
    tak.preselect(*o.device);
    tak.setChooserShown(false);
    RecordingCard card(tak);
    LoopTest w(card);
    w.setMessageSink([err](const QString& prompt, const QString&) {
        std::fprintf(err, "looptest: %s\n", qPrintable(prompt));
    });

    w.Form_Load();
    if (w.isEnded()) {
        std::fprintf(err, "looptest: cannot open %s: %s\n", o.device->text.c_str(),
                     qPrintable(tak.openError()));
        return exitstatus::kCannotOpen;
    }

    // The record starts with the device open, before the speeds are set.
    RunRecorder recorder(w, card);
    recorder.onWarning = [err](const QString& why) {
        std::fprintf(err, "looptest: %s\n", qPrintable(why));
    };
    const QString logPath = logPathFor(o, QDateTime::currentMSecsSinceEpoch());
    QString why;
    if (!logPath.isEmpty() && !recorder.startLog(logPath, startDetail(tak, w), why))
        std::fprintf(err, "looptest: %s The test goes on without a record.\n", qPrintable(why));

    auto* autoCmd = w.findChild<QAbstractButton*>(QStringLiteral("autoCmd"));
    auto* ok = w.findChild<QAbstractButton*>(QStringLiteral("Command1"));
    auto* getTimer = w.findChild<WindowTimer*>(QStringLiteral("getTimer"));
    auto* loopCount = w.findChild<QLabel*>(QStringLiteral("Label2"));
    std::array<QLabel*, 16> errLb{};
    for (int i = 0; i < 16; ++i)
        errLb[i] = w.findChild<QLabel*>(QStringLiteral("errLb(%1)").arg(i));
    // Through the spin controls' own change events, as a person would set them.
    w.findChild<QAbstractSlider*>(QStringLiteral("VScroll1"))->setValue(o.stepMs);
    w.findChild<QAbstractSlider*>(QStringLiteral("VScroll2"))->setValue(o.readbackMs);

    Outcome result;
    auto gather = [&] {
        result.loops = counters::read(loopCount);
        for (int i = 0; i < 16; ++i)
            result.errors[i] = counters::read(errLb[i]);
        result.failedReads = card.failedReads;
        result.failedWrites = card.failedWrites;
    };

    QEventLoop loop;
    QElapsedTimer elapsed;
    int caught = 0;
    bool stopping = false, finished = false, relaysLeftClosed = false, brokeOff = false;
    auto finish = [&] {
        if (finished)
            return;
        finished = true;
        ok->click(); // every relay opens, and the program ends
        relaysLeftClosed = !w.isEnded();
        loop.quit();
    };
    auto stop = [&] {
        if (stopping)
            return;
        stopping = true;
        if (autoCmd->text() == QLatin1String("Stop"))
            autoCmd->click();
        // A read-back still pending belongs to the run; its tick finishes it.
        if (!getTimer->isActive())
            finish();
    };
    QObject::connect(&w, &LoopTest::handled, &loop, [&](LoopTest::Event event) {
        if (event != LoopTest::Event::ReadBack)
            return;
        if (stopping)
            finish();
        else if (o.loops > 0 && counters::read(loopCount) >= o.loops)
            stop();
    });
    QObject::connect(&w, &LoopTest::programEnded, &loop, [&] {
        if (!finished) { // a run-time error ended the program
            brokeOff = true;
            finished = true;
            loop.quit();
        }
    });
    SignalCatcher catcher([&](int sig) {
        if (!caught)
            caught = sig;
        stop();
    });

    // The run's end by time, re-armed in steps so that runs of days fit a timer's interval.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    auto arm = [&] {
        const std::int64_t left = o.durationMs - elapsed.elapsed();
        if (left <= 0)
            return stop();
        deadline.start(static_cast<int>(std::min<std::int64_t>(left, 3'600'000)));
    };
    QObject::connect(&deadline, &QTimer::timeout, &loop, arm);

    // Progress: one line kept up to date on a terminal, a plain line every 10 s elsewhere.
    const bool terminal = ::isatty(::fileno(err));
    auto progress = [&](bool last) {
        gather();
        const std::int64_t ms = elapsed.elapsed();
        const double perSecond = ms > 0 ? 1000.0 * double(result.loops) / double(ms) : 0.0;
        QString line;
        std::int64_t leftMs = -1;
        if (o.loops > 0) {
            line = QStringLiteral("loops %1 of %2").arg(result.loops).arg(o.loops);
            if (perSecond > 0)
                leftMs =
                    static_cast<std::int64_t>(double(o.loops - result.loops) / perSecond * 1000.0);
        } else {
            line = QStringLiteral("%1 of %2, loops %3")
                       .arg(clock(ms), clock(o.durationMs))
                       .arg(result.loops);
            leftMs = std::max<std::int64_t>(0, o.durationMs - ms);
        }
        line +=
            QStringLiteral(", errors %1, %2 loops/s").arg(result.total()).arg(perSecond, 0, 'f', 1);
        if (leftMs >= 0 && !last)
            line += QStringLiteral(", %1 left").arg(clock(leftMs));
        if (terminal)
            std::fprintf(err, "\r%s\033[K%s", qPrintable(line), last ? "\n" : "");
        else
            std::fprintf(err, "%s\n", qPrintable(line));
        std::fflush(err);
    };
    QTimer ticker;
    ticker.setInterval(terminal ? 250 : 10'000);
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] { progress(false); });

    elapsed.start();
    autoCmd->click();
    if (o.durationMs > 0)
        arm();
    ticker.start();
    if (!finished)
        loop.exec();
    ticker.stop();
    progress(true);

    gather();
    result.seconds = double(elapsed.elapsed()) / 1000.0;
    const bool passed =
        result.total() == 0 && card.failedWrites == 0 && !relaysLeftClosed && !brokeOff;
    printTable(out, result, passed);
    if (relaysLeftClosed)
        std::fprintf(err, "looptest: the card did not take the writes that open every relay; "
                          "relays may still be closed\n");
    if (!o.junit.empty()) {
        if (!writeJUnit(QString::fromStdString(o.junit), o, result, why))
            std::fprintf(err, "looptest: cannot write the JUnit report %s: %s\n", o.junit.c_str(),
                         qPrintable(why));
    }
    if (caught)
        return 128 + caught;
    if (brokeOff)
        return exitstatus::kSoftware;
    return passed ? exitstatus::kPassed : exitstatus::kErrorsCounted;
}
