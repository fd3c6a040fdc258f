// Measures the program's timing, CPU, wake-ups, start-up and memory against the best this
// machine and Qt can do, and prints one table. Every figure is taken in a fresh child process
// of this same program, the window's and its baseline's side by side.
//
//   looptest_bench [--quick] [--x11] [--summary-only | --helper-only]
//
// By default the window runs on Qt's offscreen platform; --x11 runs it in the X server named
// by DISPLAY. --quick takes few samples, to check that the benchmark works, not to measure.
// --summary-only measures reading a log back, --helper-only the port helper's round trip and
// sampling and a diagnosis, and nothing else.
#include "app/HeadlessRun.h"
#include "card/isa/PortHelperDevice.h"
#include "card/simulator/LoopbackSimulator.h"
#ifdef LOOPTEST_WITH_MODBUS
#include "card/modbus/ModbusDevice.h"
#include <modbus/modbus.h>
#endif
#include "card/simulator/SimulatorBackend.h"
#include "card/simulator/SimulatorEntry.h"
#include "diagnosis/Diagnosis.h"
#include "looptest/LoopTest.h"
#include "runlog/RunRecorder.h"
#include "window/AppSetup.h"
#include "window/WindowTimer.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::ceil(p / 100.0 * double(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

long procStatusKb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    return -1;
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long voluntarySwitches() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw;
}

// Runs the event loop for a while.
void spin(int ms) {
    QElapsedTimer t;
    t.start();
    QTimer::singleShot(ms, qApp, [] {});
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void waitExposed(QWidget& w) {
    for (int i = 0; i < 200 && !(w.windowHandle() && w.windowHandle()->isExposed()); ++i)
        spin(10);
    spin(100); // the first paints
}

// Prints the child's result as one line of name=value pairs for the parent.
void report(const std::map<std::string, double>& values) {
    std::printf("RESULT");
    for (const auto& [k, v] : values)
        std::printf(" %s=%.6g", k.c_str(), v);
    std::printf("\n");
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// The program's side: the real window on the loop-back simulator, every card call timestamped.

class StampCard : public CardControl {
public:
    bool SelectDevice() override { return true; }
    void setActive(bool) override {}
    // A read-back is timed from the newest write that moved a relay: an auto step writes its
    // byte twice (clearing the last step's box runs the step once more inside itself), the
    // read-back timer is armed after the first, and the second changes nothing on the card.
    bool WritePort(std::int32_t port, std::int16_t data) override {
        if (port < 0 || port > 1 || sim.relays(port) != (data & 0xFF))
            lastWriteNs = nowNs();
        ++writes;
        return sim.write(port, data);
    }
    bool ReadPort(std::int32_t port, std::int16_t& data) override {
        if (port == 0 && onRead)
            onRead(nowNs() - lastWriteNs);
        const bool ok = sim.read(port, data);
        if (everyInputWrong)
            data = static_cast<std::int16_t>(~data & 0xFF);
        return ok;
    }
    bool everyInputWrong = false; // every channel fails on every loop
    LoopbackSimulator sim;
    std::int64_t lastWriteNs = 0;
    long writes = 0;
    std::function<void(std::int64_t sinceWriteNs)> onRead;
};

struct Program {
    StampCard card;
    std::unique_ptr<LoopTest> w;
    QTemporaryDir logDir;
    std::unique_ptr<RunRecorder> recorder;

    // logged: with the run's recorder and its log, as the program runs by default.
    explicit Program(bool logged = false) {
        w = std::make_unique<LoopTest>(card);
        // Start-up asks for the driver in a box; answer it as soon as it shows.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
        answer.start(0);
        w->Form_Load();
        if (logged) {
            recorder = std::make_unique<RunRecorder>(w->results());
            QString why;
            recorder->startLog(logDir.filePath(QStringLiteral("run.csv")), QStringLiteral("bench"),
                               {}, why);
        }
    }
    void setSpeeds(int stepMs, int readMs) { w->setSpeeds(stepMs, readMs); }
    void showAndWait() {
        w->show();
        waitExposed(*w);
    }
    // Flips a relay box, as a click does: the write, and the read-back timer armed.
    void toggle(int i) {
        QAbstractButton* box = w->relayBox(i % 16);
        box->setChecked(!box->isChecked());
    }
    // One relay write and its read-back through the handlers, without waiting.
    void loopOnce(int i) {
        toggle(i);
        w->getTimer_Timer();
    }
};

// ---------------------------------------------------------------------------------------------
// The baselines: a bare precise timer, and a bare window of 48 push buttons and a label.

class BareWindow : public QWidget {
public:
    BareWindow() {
        setFixedSize(531, 263);
        for (int i = 0; i < 16; ++i) {
            for (int row = 0; row < 3; ++row) {
                auto* b = new QPushButton(QStringLiteral("%1%2").arg("RPE"[row]).arg(i), this);
                b->setCheckable(true);
                b->setGeometry(8 + 32 * i, 80 + 56 * row, 33, 33);
                (row == 0 ? relays : row == 1 ? photos : others)[i] = b;
            }
        }
        label = new QLabel(QStringLiteral("0"), this);
        label->setGeometry(128, 56, 57, 17);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAutoFillBackground(true);
    }
    // The same changes an auto step makes: the relay boxes at once, the photo boxes and the
    // loop count after the read-back delay.
    void step(int delayMs) {
        const int last = cur;
        cur = (cur + 1) % 16;
        relays[last]->setChecked(false);
        relays[cur]->setChecked(true);
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, last] {
            photos[15 - last]->setChecked(false);
            photos[15 - cur]->setChecked(true);
            label->setText(QString::number(++loops));
        });
    }
    void flipOnce(int i) {
        relays[i % 16]->setChecked(!relays[i % 16]->isChecked());
        photos[15 - i % 16]->setChecked(relays[i % 16]->isChecked());
        label->setText(QString::number(++loops));
    }
    std::array<QPushButton*, 16> relays{}, photos{}, others{};
    QLabel* label = nullptr;
    int cur = 15;
    long loops = 0;
};

// ---------------------------------------------------------------------------------------------
// Child measurements. Each prints one RESULT line.

// Prints the samples themselves, for the parent to pool rounds.
void reportSamples(const std::vector<double>& us) {
    std::printf("SAMPLES");
    for (double v : us)
        std::printf(" %.3f", v);
    std::printf("\n");
    std::fflush(stdout);
}

std::map<std::string, double> latenessStats(const std::vector<double>& us) {
    double early = 0;
    for (double v : us)
        early += v < 0 ? 1 : 0;
    return {{"median", percentile(us, 50)},
            {"p99", percentile(us, 99)},
            {"max", percentile(us, 100)},
            {"early", early},
            {"n", double(us.size())}};
}

// How late a read-back comes after its relay write, past the set delay, on one path:
//   window   a relay box flipped from code (the write, then the read-back timer armed)
//   auto     the auto walk, stepping at 20 ms
//   click    a mouse press and release on a relay box, through the window, repaint included
// or how late a bare timer armed for the same delay fires:
//   bare     a precise single-shot QTimer
//   timerfd  a timerfd at an absolute deadline watched by the event loop, 1 ns timer slack
//   repaint  the same timerfd beside a bare window that flips and repaints a box after each
//            arm, as a click does, with Qt set up as the program's: what one repaint per loop
//            costs the kernel's own wake-up
void childLateness(const QString& path, int delayMs, int samples) {
    std::vector<double> us;
    us.reserve(samples);
    QEventLoop done;
    const std::int64_t delayNs = delayMs * 1'000'000LL;
    auto sample = [&](std::int64_t elapsedNs) {
        us.push_back(double(elapsedNs - delayNs) / 1000.0);
        return int(us.size()) >= samples;
    };
    if (path == QLatin1String("bare")) {
        QTimer t;
        t.setSingleShot(true);
        t.setTimerType(Qt::PreciseTimer);
        std::int64_t armed = 0;
        QObject::connect(&t, &QTimer::timeout, [&] {
            if (sample(nowNs() - armed))
                return done.quit();
            armed = nowNs();
            t.start(delayMs);
        });
        armed = nowNs();
        t.start(delayMs);
        done.exec();
    } else if (path == QLatin1String("timerfd") || path == QLatin1String("repaint")) {
        std::unique_ptr<BareWindow> window;
        if (path == QLatin1String("repaint")) {
            window = std::make_unique<BareWindow>();
            window->show();
            waitExposed(*window);
        }
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        std::int64_t armed = 0;
        auto arm = [&] {
            armed = nowNs();
            itimerspec at{};
            at.it_value.tv_sec = (armed + delayNs) / 1'000'000'000;
            at.it_value.tv_nsec = (armed + delayNs) % 1'000'000'000;
            ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &at, nullptr);
        };
        QSocketNotifier notifier(fd, QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
            std::uint64_t n = 0;
            if (::read(fd, &n, sizeof n) != sizeof n)
                return;
            if (sample(nowNs() - armed))
                return done.quit();
            arm();
            if (window) {
                window->flipOnce(int(us.size()));
                window->relays[us.size() % 16]->repaint();
            }
        });
        arm();
        done.exec();
        ::close(fd);
    } else {
        Program p;
        p.setSpeeds(20, delayMs);
        p.showAndWait();
        const bool click = path == QLatin1String("click");
        int k = 0;
        auto next = [&] {
            if (path == QLatin1String("auto"))
                return; // the walk goes on by itself
            QAbstractButton* box = p.w->relayBox(++k % 16);
            if (!click)
                return box->setChecked(!box->isChecked());
            QTest::mousePress(box, Qt::LeftButton);
            QTest::mouseRelease(box, Qt::LeftButton);
        };
        p.card.onRead = [&](std::int64_t sinceWrite) {
            if (sample(sinceWrite))
                return done.quit();
            QTimer::singleShot(0, next);
        };
        if (path == QLatin1String("auto"))
            p.w->autoCmd_Click();
        else
            QTimer::singleShot(0, next);
        done.exec();
    }
    reportSamples(us);
    report(latenessStats(us));
}

void childSteps(bool bare, int periodMs, int steps) {
    std::vector<std::int64_t> at;
    at.reserve(steps + 1);
    QEventLoop done;
    auto tick = [&] {
        at.push_back(nowNs());
        if (int(at.size()) > steps)
            done.quit();
    };
    std::unique_ptr<Program> p;
    QTimer t;
    if (bare) {
        t.setTimerType(Qt::PreciseTimer);
        t.setInterval(periodMs);
        QObject::connect(&t, &QTimer::timeout, tick);
        t.start();
    } else {
        p = std::make_unique<Program>();
        p->setSpeeds(periodMs, 5);
        p->showAndWait();
        // Each step as its handler ends, as the timer's own signal reached a second watcher.
        QObject::connect(p->w.get(), &LoopTest::handled, [&](LoopTest::Event e) {
            if (e == LoopTest::Event::Step)
                tick();
        });
        p->w->autoCmd_Click();
    }
    done.exec();
    std::vector<double> intervals;
    double missed = 0;
    for (std::size_t i = 1; i < at.size(); ++i) {
        intervals.push_back(double(at[i] - at[i - 1]) / 1000.0);
        missed += intervals.back() > 1.5 * periodMs * 1000.0 ? 1 : 0;
    }
    const double n = double(at.size() - 1);
    const double driftUs =
        std::abs(double(at.back() - at.front()) / 1000.0 - n * periodMs * 1000.0);
    report({{"median", percentile(intervals, 50)},
            {"p99", percentile(intervals, 99)},
            {"max", percentile(intervals, 100)},
            {"drift_us", driftUs},
            {"drift_ppm", driftUs / (n * periodMs * 1000.0) * 1e6},
            {"missed", missed},
            {"n", n}});
}

void childCpu(bool bare, int seconds, bool logged) {
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    QTimer t;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
        waitExposed(*b);
        t.setTimerType(Qt::PreciseTimer);
        t.setInterval(20);
        QObject::connect(&t, &QTimer::timeout, [&] { b->step(5); });
        t.start();
    } else {
        p = std::make_unique<Program>(logged);
        p->setSpeeds(20, 5);
        p->showAndWait();
        p->w->autoCmd_Click();
    }
    spin(1000); // settle
    auto loops = [&] { return bare ? double(b->loops) : double(p->w->results().loops()); };
    const double cpu0 = cpuSeconds();
    const double loops0 = loops();
    const std::int64_t t0 = nowNs();
    spin(seconds * 1000);
    const double wall = double(nowNs() - t0) / 1e9;
    report({{"cpu", cpuSeconds() - cpu0}, {"wall", wall}, {"loops", loops() - loops0}});
}

// A headless run of the program on the simulator, stepping at 20 ms with a 5 ms read-back:
// process start to the first relay write, and CPU per loop from there to the end.
void childHeadless(std::int64_t spawnedNs, int loops) {
    // When the first relay write came, and the CPU used by then; outlives the run's entries.
    struct FirstWrite {
        std::int64_t ns = 0;
        double cpu = 0;
    } first;
    struct Entry : SimulatorEntry {
        explicit Entry(FirstWrite& f)
            : first(f) {}
        std::unique_ptr<PortDevice> open(QString&) override {
            struct Device : LoopbackSimulator {
                explicit Device(FirstWrite& f)
                    : first(f) {}
                bool write(std::int32_t port, std::int16_t data) override {
                    if (first.ns == 0) {
                        first.ns = nowNs();
                        first.cpu = cpuSeconds();
                    }
                    return LoopbackSimulator::write(port, data);
                }
                FirstWrite& first;
            };
            return std::make_unique<Device>(first);
        }
        FirstWrite& first;
    };
    // As the program runs by default, with its record, kept here out of the user's folder.
    QTemporaryDir logDir;
    Options o;
    std::string error;
    parseCommandLine({"--headless", "--device", simulatorBackend().prefixes.front(), "--loops",
                      std::to_string(loops), "--step", "20", "--readback", "5", "--log",
                      logDir.filePath(QStringLiteral("run.csv")).toStdString()},
                     o, error);
    std::vector<std::unique_ptr<DeviceEntry>> entries;
    entries.push_back(std::make_unique<Entry>(first));
    std::FILE* nowhere = std::fopen("/dev/null", "w");
    runHeadless(o, std::move(entries), nowhere, nowhere);
    std::fclose(nowhere);
    report({{"startup_ms", double(first.ns - spawnedNs) / 1e6},
            {"cpu_us_per_loop", (cpuSeconds() - first.cpu) * 1e6 / loops}});
}

void childIdle(bool bare, int seconds) {
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
        waitExposed(*b);
    } else {
        p = std::make_unique<Program>();
        p->showAndWait();
    }
    spin(500);
    const long v0 = voluntarySwitches();
    const std::int64_t t0 = nowNs();
    // Sleep in the event loop with nothing of our own to wake it.
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double wall = double(nowNs() - t0) / 1e9;
    // The one wake-up that ends the wait is ours, not the program's.
    report({{"per_second", double(voluntarySwitches() - v0 - 1) / wall}});
}

void childLoopCost(bool shown, int loops) {
    Program p;
    if (shown)
        p.showAndWait();
    for (int i = 0; i < 1000; ++i)
        p.loopOnce(i);
    const std::int64_t t0 = nowNs();
    for (int i = 0; i < loops; ++i)
        p.loopOnce(i);
    if (shown)
        QCoreApplication::processEvents(); // the last paint belongs to the last loop
    const double us = double(nowNs() - t0) / 1000.0 / loops;
    report({{"us_per_loop", us}, {"writes", double(p.card.writes)}});
}

// One loop through the handlers, window hidden, with every channel failing on every loop:
// with the run's recorder and log, or without.
void childLogCost(bool logged, int loops) {
    Program p(logged);
    p.card.everyInputWrong = true;
    for (int i = 0; i < 1000; ++i)
        p.loopOnce(i);
    const std::int64_t t0 = nowNs();
    for (int i = 0; i < loops; ++i)
        p.loopOnce(i);
    report({{"us_per_loop", double(nowNs() - t0) / 1000.0 / loops}});
}

// The log of an auto walk at 20 ms, simulated through the handlers on a moved clock, for every
// fault the simulator plays: the largest size per hour.
// A healthy simulated card diagnosed with the defaults, on the real clock: how long it took
// against the waits the method made.
void childDiagnose() {
    LoopbackSimulator card;
    const std::int64_t t0 = nowNs();
    const DiagnosisReport r = diagnose(card, {});
    const double ms = double(nowNs() - t0) / 1e6;
    report({{"ms", ms}, {"waited_ms", r.waitedMs}, {"passed", r.passed() ? 1.0 : 0.0}});
}

// The sampling interval of a watch through the port helper serving a file, or of the same
// reads (and clock) in a bare loop in this process; nothing changes, so each runs its time-out.
void childSampling(bool bare, int watches) {
    QTemporaryFile space;
    if (!space.open() || !space.resize(0x400))
        return;
    std::vector<double> us;
    if (bare) {
        const int fd = space.handle();
        for (int w = 0; w < watches; ++w) {
            const std::int64_t start = nowNs();
            std::int64_t now = start;
            long samples = 0;
            unsigned char byte = 0;
            while (now - start < 100'000'000) {
                if (::pread(fd, &byte, 1, 0x300) != 1)
                    return;
                now = nowNs();
                ++samples;
            }
            us.push_back(double(now - start) / 1000.0 / double(samples - 1));
        }
    } else {
        QString why;
        auto dev = PortHelperDevice::open(LOOPTEST_PORT_HELPER, 0x300, why,
                                          space.fileName().toStdString());
        if (!dev)
            return;
        for (int w = 0; w < watches; ++w) {
            PortDevice::Watch seen;
            if (!dev->watch(0, 0, 100'000, seen))
                return;
            us.push_back(seen.intervalUs);
        }
    }
    report({{"interval_us", percentile(us, 50)}});
}

void childLogSize(int minutes) {
    using K = SimulatorFault::Kind;
    const SimulatorFault faults[] = {
        {K::RelayNeverCloses, 3},         {K::InputStuckActive, 5},
        {K::InputNeverActive, 7},         {K::SwappedWires, 2, 9},
        {K::EveryKthWriteFails, 0, 1, 2}, {K::EveryKthReadFails, 0, 1, 2},
        {K::DeadAfterK, 0, 1, 1000},      {K::Intermittent, 4, 1, 10, 0, 50, 1},
    };
    double worst = 0;
    int worstFault = 0;
    for (int f = 0; f < int(std::size(faults)); ++f) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("run.csv"));
        struct Sim : CardControl {
            LoopbackSimulator sim;
            explicit Sim(SimulatorFault fault)
                : sim(fault) {}
            bool SelectDevice() override { return true; }
            void setActive(bool) override {}
            bool ReadPort(std::int32_t p, std::int16_t& d) override { return sim.read(p, d); }
            bool WritePort(std::int32_t p, std::int16_t d) override { return sim.write(p, d); }
        } sim(faults[f]);
        LoopTest w(sim);
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
        answer.start(0);
        w.Form_Load();
        qint64 now = 1'800'000'000'000;
        {
            RunRecorder recorder(w.results(), [&now] { return now; });
            QString why;
            recorder.startLog(path, QStringLiteral("bench"), {}, why);
            w.autoCmd_Click();
            for (int i = 0; i < minutes * 3000; ++i) {
                w.Timer1_Timer();
                w.getTimer_Timer();
                now += 20;
            }
        }
        const double perHour = double(QFileInfo(path).size()) * 60.0 / minutes;
        if (perHour > worst) {
            worst = perHour;
            worstFault = f;
        }
    }
    report({{"bytes_per_hour", worst}, {"fault", double(worstFault)}});
}

// One loop's Modbus I/O, the write of a port's coils and the two reads of the inputs, against
// the module at 127.0.0.1:port: through the program's card, or a bare libmodbus client making
// the same requests.
void childModbus(bool bare, int port, int loops) {
#ifdef LOOPTEST_WITH_MODBUS
    std::vector<double> us;
    us.reserve(loops);
    ModbusSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    if (bare) {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 0, 100000);
        if (modbus_connect(ctx) != 0)
            return;
        std::uint8_t bits[8] = {};
        for (int i = 0; i < loops + 50; ++i) {
            const std::int64_t t0 = nowNs();
            for (int k = 0; k < 8; ++k)
                bits[k] = k == i % 8;
            modbus_write_bits(ctx, 8 * ((i / 8) % 2), 8, bits);
            modbus_read_input_bits(ctx, 0, 8, bits);
            modbus_read_input_bits(ctx, 8, 8, bits);
            if (i >= 50)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
        modbus_close(ctx);
        modbus_free(ctx);
    } else {
        QString why;
        auto dev = ModbusDevice::open(s, why);
        if (!dev) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return;
        }
        std::int16_t data = 0;
        for (int i = 0; i < loops + 50; ++i) {
            const std::int64_t t0 = nowNs();
            dev->write((i / 8) % 2, static_cast<std::int16_t>(1 << (i % 8)));
            dev->read(0, data);
            dev->read(1, data);
            if (i >= 50)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
    }
    reportSamples(us); // pooled over the rounds
    report({{"n", double(us.size())}});
#else
    (void)bare, (void)port, (void)loops;
    report({{"absent", 1}});
#endif
}

// One request and its answer through the port helper (a read of port 0, the helper serving a
// file in place of the ports), or the bare minimum: two bytes out to another process over a
// socket and the same two back.
// Keeps this process, and whatever it starts from now on, on the core it runs on.
void stayOnThisCore() {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu(), &one);
    ::sched_setaffinity(0, sizeof one, &one);
}

void childRoundTrip(const QString& how, int samples) {
    const bool bare = how.startsWith(QLatin1String("cat"));
    if (how.endsWith(QLatin1String("one-core")))
        stayOnThisCore();
    std::vector<double> us;
    us.reserve(samples);
    if (bare) {
        // cat started the way the helper is (spawned, not forked), so that the scheduler
        // places both alike: an exec moves a process to the idlest core.
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sv[1], 0);
        posix_spawn_file_actions_adddup2(&actions, sv[1], 1);
        char cat[] = "/bin/cat";
        char* argv[] = {cat, nullptr};
        char* envp[] = {nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, cat, &actions, nullptr, argv, envp) != 0)
            return;
        posix_spawn_file_actions_destroy(&actions);
        ::close(sv[1]);
        unsigned char b[2] = {0x10, 0};
        for (int i = 0; i < samples + 100; ++i) {
            const std::int64_t t0 = nowNs();
            if (::write(sv[0], b, 2) != 2 || ::read(sv[0], b, 2) != 2)
                return;
            if (i >= 100)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
        ::close(sv[0]);
        ::waitpid(pid, nullptr, 0);
    } else {
        QTemporaryFile space;
        if (!space.open() || !space.resize(0x400))
            return;
        QString why;
        auto dev = PortHelperDevice::open(LOOPTEST_PORT_HELPER, 0x300, why,
                                          space.fileName().toStdString());
        if (!dev) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return;
        }
        std::int16_t data = 0;
        for (int i = 0; i < samples + 100; ++i) {
            const std::int64_t t0 = nowNs();
            if (!dev->read(0, data))
                return;
            if (i >= 100)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
    }
    report({{"median", percentile(us, 50)}, {"p99", percentile(us, 99)}, {"n", double(us.size())}});
}

void childStartup(bool bare, std::int64_t spawnedNs) {
    // The first paint of the window ends the measurement.
    struct FirstPaint : QObject {
        std::int64_t spawned;
        explicit FirstPaint(std::int64_t s)
            : spawned(s) {}
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Paint && o->isWidgetType() &&
                static_cast<QWidget*>(o)->isWindow()) {
                report({{"ms", double(nowNs() - spawned) / 1e6}});
                std::_Exit(0);
            }
            return false;
        }
    } firstPaint(spawnedNs);
    qApp->installEventFilter(&firstPaint);
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
    } else {
        p = std::make_unique<Program>();
        p->w->show();
    }
    QApplication::exec();
}

void childMemory(bool bare, int loops) {
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    std::function<void(int)> once;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
        waitExposed(*b);
        once = [&](int i) { b->flipOnce(i); };
    } else {
        p = std::make_unique<Program>();
        p->showAndWait();
        once = [&](int i) { p->loopOnce(i); };
    }
    long warm = 0;
    for (int i = 0; i < loops; ++i) {
        once(i);
        if (i % 1000 == 999)
            QCoreApplication::processEvents(); // let it paint
        if (i == loops / 10)
            warm = procStatusKb("VmRSS");
    }
    QCoreApplication::processEvents();
    report({{"peak_kb", double(procStatusKb("VmHWM"))},
            {"growth_kb", double(procStatusKb("VmRSS") - warm)}});
}

int runChild(const QStringList& args) {
    const QString what = args.value(0);
    const bool bare = args.value(1) == QLatin1String("bare");
    const int a = args.value(2).toInt();
    const int b = args.value(3).toInt();
    if (what == QLatin1String("lateness"))
        childLateness(args.value(1), a, b);
    else if (what == QLatin1String("steps"))
        childSteps(bare, a, b);
    else if (what == QLatin1String("cpu"))
        childCpu(bare, a, args.value(1) == QLatin1String("logged"));
    else if (what == QLatin1String("idle"))
        childIdle(bare, a);
    else if (what == QLatin1String("loopcost"))
        childLoopCost(args.value(1) == QLatin1String("shown"), a);
    else if (what == QLatin1String("startup"))
        childStartup(bare, args.value(2).toLongLong());
    else if (what == QLatin1String("memory"))
        childMemory(bare, a);
    else if (what == QLatin1String("roundtrip"))
        childRoundTrip(args.value(1), a);
    else if (what == QLatin1String("modbus"))
        childModbus(bare, a, b);
    else if (what == QLatin1String("logcost"))
        childLogCost(args.value(1) == QLatin1String("logged"), a);
    else if (what == QLatin1String("logsize"))
        childLogSize(a);
    else if (what == QLatin1String("headless"))
        childHeadless(args.value(1).toLongLong(), a);
    else if (what == QLatin1String("diagnose"))
        childDiagnose();
    else if (what == QLatin1String("sampling"))
        childSampling(bare, a);
    else
        return 2;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The parent: runs the children, the window's and the baseline's side by side, and prints.

using Result = std::map<std::string, double>;

struct Child {
    std::unique_ptr<QProcess> process;
    QString description;
};

QString g_program;
QString g_platform;

Child start(const QStringList& args) {
    Child c;
    c.process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), g_platform);
    if (!env.contains(QStringLiteral("XDG_RUNTIME_DIR")))
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir::tempPath());
    c.process->setProcessEnvironment(env);
    c.description = args.join(QLatin1Char(' '));
    c.process->start(g_program, QStringList{QStringLiteral("--child")} + args);
    return c;
}

Result finish(Child& c, std::vector<double>* samples = nullptr) {
    c.process->waitForFinished(-1);
    const QString out = QString::fromLocal8Bit(c.process->readAllStandardOutput());
    Result r;
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        if (samples && line.startsWith(QLatin1String("SAMPLES"))) {
            for (const QString& v : line.mid(8).split(QLatin1Char(' '), Qt::SkipEmptyParts))
                samples->push_back(v.toDouble());
        }
        if (!line.startsWith(QLatin1String("RESULT")))
            continue;
        for (const QString& pair : line.mid(7).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const auto kv = pair.split(QLatin1Char('='));
            r[kv.value(0).toStdString()] = kv.value(1).toDouble();
        }
    }
    if (r.empty())
        std::fprintf(stderr, "looptest_bench: child '%s' gave no result:\n%s\n",
                     qPrintable(c.description), c.process->readAllStandardError().constData());
    return r;
}

// Runs the window's child and the baseline's. Timing figures run one after the other, since
// two processes waking at once on this machine's two cores disturb each other's wake-ups;
// only the idle pair, which sleeps, runs side by side.
enum class Together { No, Yes };
std::pair<Result, Result> pair(const QStringList& window, const QStringList& baseline,
                               Together together = Together::No) {
    if (together == Together::No) {
        Child a = start(window);
        Result ra = finish(a);
        Child b = start(baseline);
        return {ra, finish(b)};
    }
    Child a = start(window);
    Child b = start(baseline);
    Result ra = finish(a);
    Result rb = finish(b);
    return {ra, rb};
}

// Runs the children in alternating rounds and pools what they give, so that the machine's
// slow swings in wake-up latency fall on all alike. Each round gets its share of the count
// (the last argument).
std::vector<Result> rounds(const std::vector<QStringList>& sides, int total, int n) {
    std::vector<Result> sums(sides.size());
    std::vector<std::vector<double>> samples(sides.size());
    for (int r = 0; r < n; ++r) {
        const QString share = QString::number(total / n + (r < total % n ? 1 : 0));
        for (std::size_t side = 0; side < sides.size(); ++side) {
            Child c = start(sides[side] + QStringList{share});
            for (const auto& [k, v] : finish(c, &samples[side]))
                sums[side][k] += v;
        }
    }
    for (std::size_t side = 0; side < sides.size(); ++side)
        if (!samples[side].empty())
            sums[side] = latenessStats(samples[side]);
    return sums;
}

std::pair<Result, Result> rounds(QStringList window, QStringList baseline, int total, int n) {
    auto r = rounds(std::vector<QStringList>{window, baseline}, total, n);
    return {r[0], r[1]};
}

struct Row {
    std::string figure, program, baseline, ratio, goal, met;
};
std::vector<Row> g_rows;

std::string fmt(double v, int decimals = 1) {
    if (std::isnan(v))
        return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string ratio(double a, double b) {
    return b > 0 ? fmt(a / b, 2) + "×" : "n/a";
}

void add(std::string figure, std::string program, std::string baseline, std::string r,
         std::string goal, bool met) {
    g_rows.push_back({std::move(figure), std::move(program), std::move(baseline), std::move(r),
                      std::move(goal), met ? "yes" : "**no**"});
    std::fprintf(stderr, "  measured: %s\n", g_rows.back().figure.c_str());
}

// ---------------------------------------------------------------------------------------------
// Reading a log back: --summary against Python's csv module on the same file.

// A valid log of at least `bytes` bytes: relay 6 of a card flickers, one error row a loop, a
// checkpoint every 3000 loops, then the totals and the end.
bool writeLog(const QString& path, qint64 bytes) {
    std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "w");
    if (!f)
        return false;
    const char* t = "2026-12-07T08:00:00.000+01:00";
    std::fprintf(f,
                 "time,loop,event,channel,written,read,count,detail,kind\r\n"
                 "%s,0,start,,,,,\"device: a benchmark's log\",\r\n",
                 t);
    long long loop = 0;
    while (std::ftell(f) < bytes) {
        ++loop;
        std::fprintf(f,
                     "%s,%lld,mismatch,6,40,FF,1,\"relay 6 closed, input 9 stayed inactive\","
                     "input-inactive\r\n",
                     t, loop);
        if (loop % 3000 == 0)
            std::fprintf(f, "%s,%lld,checkpoint,6,,,%lld,,\r\n", t, loop, loop);
    }
    for (int r = 0; r < 16; ++r)
        std::fprintf(f, "%s,%lld,total,%d,,,%lld,,\r\n", t, loop, r, r == 6 ? loop : 0);
    std::fprintf(f, "%s,%lld,total,,,,%lld,loop count,\r\n%s,%lld,end,,,,%lld,verdict FAIL,\r\n", t,
                 loop, loop, t, loop, loop);
    return std::fclose(f) == 0;
}

struct Measured {
    double seconds = 0;
    double peakKb = 0;
    int status = -1;
};

// Runs a program to its end, its output thrown away: wall time and peak resident memory.
Measured measure(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Measured m;
    pid_t pid = 0;
    const std::int64_t t0 = nowNs();
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return m;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    m.seconds = double(nowNs() - t0) / 1e9;
    m.peakKb = double(usage.ru_maxrss);
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

void summaryRows(bool quick) {
    QTemporaryDir dir;
    const QString tiny = dir.filePath(QStringLiteral("tiny.csv"));
    const QString small = dir.filePath(QStringLiteral("1MB.csv"));
    const QString large = dir.filePath(QStringLiteral("large.csv"));
    const qint64 largeBytes = quick ? 20'000'000 : 1'000'000'000;
    if (!writeLog(tiny, 0) || !writeLog(small, 1'000'000) || !writeLog(large, largeBytes)) {
        add("--summary of a log", "cannot write the logs", "", "", "", false);
        return;
    }
    auto summary = [](const QString& log) {
        return measure({LOOPTEST_PROGRAM, "--summary", log.toStdString()});
    };
    const std::vector<std::string> python = {
        "/usr/bin/python3", "-c",
        "import csv, sys\nprint(sum(1 for _ in csv.reader(open(sys.argv[1], newline=''))))",
        large.toStdString()};
    measure(python); // both read the file from the page cache
    std::vector<double> ours, theirs;
    bool right = true;
    for (int i = 0; i < (quick ? 1 : 3); ++i) {
        const Measured m = summary(large);
        right = right && m.status == 1; // the log's relay 6 failed
        ours.push_back(m.seconds);
        theirs.push_back(measure(python).seconds);
    }
    const double o = percentile(ours, 50), t = percentile(theirs, 50);
    const QString mb = QString::number(double(largeBytes) / 1e6, 'f', 0);
    add("--summary of a " + mb.toStdString() + " MB log, s (median of " +
            std::to_string(ours.size()) + ")",
        fmt(o, 2), "Python's csv counting its rows " + fmt(t, 2), ratio(o, t),
        "faster than Python's csv", right && o < t);
    const double own = summary(tiny).peakKb;
    const double growthSmall = summary(small).peakKb - own;
    const double growthLarge = summary(large).peakKb - own;
    add("--summary: peak memory above the program's own on a tiny log, MB: a 1 MB log / a " +
            mb.toStdString() + " MB log",
        fmt(growthSmall / 1024, 1) + " / " + fmt(growthLarge / 1024, 1),
        "own " + fmt(own / 1024, 1), "", "≤ 50 MB for both",
        growthSmall <= 50 * 1024 && growthLarge <= 50 * 1024);
}

// The port helper's round trip and sampling, and a diagnosis's time against its waits.
void helperRows(bool quick) {
    {
        const QString n = QString::number(quick ? 500 : 20000);
        // Alternating rounds; each side's figures are the medians of its rounds.
        Result w, b;
        std::map<std::string, std::vector<double>> ws, bs;
        for (int r = 0; r < (quick ? 1 : 5); ++r) {
            auto [one, other] = pair({"roundtrip", "helper", n}, {"roundtrip", "cat-one-core", n});
            for (const auto& [k, v] : one)
                ws[k].push_back(v);
            for (const auto& [k, v] : other)
                bs[k].push_back(v);
        }
        for (auto& [k, v] : ws)
            w[k] = percentile(v, 50);
        for (auto& [k, v] : bs)
            b[k] = percentile(v, 50);
        add("port helper: one request and its answer, µs (median / p99; n)",
            fmt(w["median"], 2) + " / " + fmt(w["p99"], 2) + "; " + fmt(w["n"], 0),
            "cat echoing over a socket pair, both on one core " + fmt(b["median"], 2) + " / " +
                fmt(b["p99"], 2) + "; " + fmt(b["n"], 0),
            ratio(w["median"], b["median"]) + " / " + ratio(w["p99"], b["p99"]),
            "median ≤ 1.5× the best round trip between two processes",
            w["median"] <= 1.5 * b["median"]);
    }
    {
        const QString n = QString::number(quick ? 2 : 10);
        std::vector<double> wv, bv;
        for (int r = 0; r < (quick ? 1 : 5); ++r) {
            auto [one, other] = pair({"sampling", "helper", n}, {"sampling", "bare", n});
            wv.push_back(one["interval_us"]);
            bv.push_back(other["interval_us"]);
        }
        Result w{{"interval_us", percentile(wv, 50)}}, b{{"interval_us", percentile(bv, 50)}};
        add("port helper: sampling interval of a watch through the file stand-in, µs (median "
            "of watches of 100 ms)",
            fmt(w["interval_us"], 3), "the same reads in a bare loop " + fmt(b["interval_us"], 3),
            ratio(w["interval_us"], b["interval_us"]), "≤ 1.2× the bare loop",
            w["interval_us"] <= 1.2 * b["interval_us"]);
    }
    {
        std::vector<double> ratios, ms, waited;
        for (int i = 0; i < (quick ? 1 : 5); ++i) {
            Child c = start({"diagnose"});
            Result r = finish(c);
            ms.push_back(r["ms"]);
            waited.push_back(r["waited_ms"]);
            ratios.push_back(r["waited_ms"] > 0 ? r["ms"] / r["waited_ms"] : NAN);
        }
        const double worst = *std::max_element(ratios.begin(), ratios.end());
        add("diagnosis of a healthy simulated card, defaults: ms, and the waits the method made "
            "(median of " +
                std::to_string(ms.size()) + "; the worst ratio)",
            fmt(percentile(ms, 50)), "waits " + fmt(percentile(waited, 50)), fmt(worst, 3) + "×",
            "≤ 1.2× the waits", worst <= 1.2);
    }
}

int printRows(bool quick) {
    std::printf("| figure | looptest | baseline | ratio | goal | met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    int missed = 0;
    for (const Row& r : g_rows) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.program.c_str(),
                    r.baseline.c_str(), r.ratio.c_str(), r.goal.c_str(), r.met.c_str());
        missed += r.met == "yes" ? 0 : 1;
    }
    std::printf("\nplatform: %s%s; goals missed: %d\n", qPrintable(g_platform),
                quick ? " (quick run: too few samples to judge)" : "", missed);
    return 0;
}

int runParent(bool quick) {
    // Every read-back path against both bare timers, side by side in alternating rounds.
    const struct {
        const char* path;
        const char* words;
        int delayMs, n;
    } paths[] = {{"window", "a relay written from code", 5, quick ? 50 : 4000},
                 {"auto", "the auto walk at 20 ms", 5, quick ? 50 : 4000},
                 {"click", "a mouse click on a relay box", 5, quick ? 50 : 4000},
                 {"window", "a relay written from code", 50, quick ? 20 : 1000},
                 {"window", "a relay written from code", 500, quick ? 3 : 200}};
    for (const auto& pth : paths) {
        const QString d = QString::number(pth.delayMs);
        // A click repaints after arming; the timerfd beside a window doing the same shows
        // what that repaint costs the kernel's wake-up, program code aside.
        const bool click = pth.path == std::string_view("click");
        std::vector<QStringList> children = {
            {"lateness", pth.path, d}, {"lateness", "bare", d}, {"lateness", "timerfd", d}};
        if (click)
            children.push_back({"lateness", "repaint", d});
        // Many short rounds: this machine's own wake-up latency can double for a few seconds
        // and come back, and each side should see such stretches as often as the others.
        const auto r = rounds(children, pth.n, quick ? 1 : 20);
        const Result &w = r[0], &q = r[1], &k = r[2];
        const Result* painted = click && !r[3].empty() ? &r[3] : nullptr;
        auto cell = [](const Result& x) {
            return fmt(x.at("median")) + " / " + fmt(x.at("p99")) + " / " + fmt(x.at("max")) +
                   "; " + fmt(x.at("early"), 0) + "; " + fmt(x.at("n"), 0);
        };
        if (w.empty() || q.empty() || k.empty()) {
            add("read-back lateness at " + d.toStdString() + " ms, " + pth.words, "n/a", "n/a", "",
                "", false);
            continue;
        }
        const bool met = w.at("early") == 0 && w.at("median") <= 0.6 * q.at("median") &&
                         w.at("median") <= 1.2 * k.at("median") && w.at("p99") <= q.at("p99");
        add("read-back lateness at " + d.toStdString() + " ms, " + pth.words +
                ", µs (median / p99 / max; early; n)",
            cell(w),
            "QTimer " + cell(q) + "<br>timerfd " + cell(k) +
                (painted ? "<br>timerfd beside a repaint " + cell(*painted) : ""),
            "median " + ratio(w.at("median"), q.at("median")) + " QTimer, " +
                ratio(w.at("median"), k.at("median")) + " timerfd; p99 " +
                ratio(w.at("p99"), q.at("p99")) + " QTimer; the bare timerfd's median " +
                ratio(k.at("median"), q.at("median")) + " QTimer's" +
                (painted ? "; median " + ratio(w.at("median"), painted->at("median")) +
                               " the timerfd beside a repaint"
                         : ""),
            "never early; median ≤ 0.6× QTimer's and ≤ 1.2× timerfd's; p99 ≤ 1.0× QTimer's", met);
    }
    for (int period : {20, 100}) {
        const QString p = QString::number(period);
        const QString n = QString::number(quick ? 50 : 3000);
        auto [w, b] = pair({"steps", "window", p, n}, {"steps", "bare", p, n});
        add("auto step period " + p.toStdString() +
                " ms: interval median / p99 / max µs; drift ppm; missed; steps",
            fmt(w["median"]) + " / " + fmt(w["p99"]) + " / " + fmt(w["max"]) + "; " +
                fmt(w["drift_ppm"]) + "; " + fmt(w["missed"], 0) + "; " + fmt(w["n"], 0),
            fmt(b["median"]) + " / " + fmt(b["p99"]) + " / " + fmt(b["max"]) + "; " +
                fmt(b["drift_ppm"]) + "; " + fmt(b["missed"], 0) + "; " + fmt(b["n"], 0),
            ratio(w["p99"], b["p99"]) + " (p99)", "drift ≤ 20 ppm, no step missed",
            w["drift_ppm"] <= 20 && w["missed"] == 0);
    }
    {
        const int total = quick ? 2 : 30;
        auto [w, b] = rounds({"cpu", "window"}, {"cpu", "bare"}, total, quick ? 1 : 10);
        const double wc = w["cpu"] / w["wall"], bc = b["cpu"] / b["wall"];
        add("CPU stepping at 20 ms / 5 ms, CPU s per wall s over " + std::to_string(total) + " s",
            fmt(wc, 4), fmt(bc, 4), ratio(wc, bc), "≤ 1.2× the bare window", wc <= 1.2 * bc);
    }
    {
        const QString s = QString::number(quick ? 2 : 20);
        auto [w, b] = pair({"idle", "window", s}, {"idle", "bare", s}, Together::Yes);
        add("idle wake-ups, voluntary switches per s over " + s.toStdString() + " s",
            fmt(w["per_second"], 2), fmt(b["per_second"], 2), "", "≤ 1 per second",
            w["per_second"] <= 1.0);
    }
    for (const char* shown : {"shown", "hidden"}) {
        Child c = start({"loopcost", shown, QString::number(quick ? 1000 : 100000)});
        Result r = finish(c);
        add(std::string("cost of one loop (write + read-back through the handlers), µs, window ") +
                shown,
            fmt(r["us_per_loop"], 2), "", "", "reported", true);
    }
    {
        std::vector<double> w, b;
        for (int i = 0; i < (quick ? 2 : 9); ++i) {
            for (bool bare : {false, true}) {
                Child c = start({"startup", bare ? "bare" : "window", QString::number(nowNs())});
                Result r = finish(c);
                (bare ? b : w).push_back(r["ms"]);
            }
        }
        const double wm = percentile(w, 50), bm = percentile(b, 50);
        add("start-up, process start to first paint, ms (median of " + std::to_string(w.size()) +
                ")",
            fmt(wm), fmt(bm), ratio(wm, bm), "≤ 1.5× the bare program", wm <= 1.5 * bm);
    }
    {
        const QString n = QString::number(quick ? 5000 : 100000);
        Child cw = start({"memory", "window", n});
        Result w = finish(cw);
        Child cb = start({"memory", "bare", n});
        Result b = finish(cb);
        add("memory: peak RSS kB; RSS growth over " + n.toStdString() + " loops kB",
            fmt(w["peak_kb"], 0) + "; " + fmt(w["growth_kb"], 0),
            fmt(b["peak_kb"], 0) + "; " + fmt(b["growth_kb"], 0), ratio(w["peak_kb"], b["peak_kb"]),
            "peak ≤ 1.3× the bare program; growth ≤ 1 MB",
            w["peak_kb"] <= 1.3 * b["peak_kb"] && w["growth_kb"] <= 1024);
    }

    {
        std::vector<double> startup, cpu;
        const int loops = quick ? 20 : 500;
        for (int i = 0; i < (quick ? 1 : 5); ++i) {
            Child c = start({"headless", QString::number(nowNs()), QString::number(loops)});
            Result r = finish(c);
            startup.push_back(r["startup_ms"]);
            cpu.push_back(r["cpu_us_per_loop"]);
        }
        add("headless run: process start to the first step, ms (median of " +
                std::to_string(startup.size()) + ")",
            fmt(percentile(startup, 50)), "", "", "reported", true);
        // The window's CPU per loop, shown and stepping at the same speeds.
        Child c = start({"cpu", "window", QString::number(quick ? 2 : 10)});
        Result w = finish(c);
        const double windowUs = w["loops"] > 0 ? w["cpu"] * 1e6 / w["loops"] : NAN;
        const double headlessUs = percentile(cpu, 50);
        add("CPU per loop stepping at 20 ms / 5 ms, µs: headless (median of " +
                std::to_string(cpu.size()) + " runs of " + std::to_string(loops) +
                " loops) / the window shown",
            fmt(headlessUs), fmt(windowUs), ratio(headlessUs, windowUs), "reported", true);
    }
    {
        const QString n = QString::number(quick ? 2000 : 100000);
        auto [w, b] = pair({"logcost", "logged", n}, {"logcost", "plain", n});
        add("run log: one loop with all 16 channels failing, window hidden, µs: logged / not",
            fmt(w["us_per_loop"], 2), fmt(b["us_per_loop"], 2),
            ratio(w["us_per_loop"], b["us_per_loop"]), "reported", true);
    }
    {
        const int total = quick ? 2 : 30;
        auto [w, b] = rounds({"cpu", "logged"}, {"cpu", "window"}, total, quick ? 1 : 10);
        const double wc = w["cpu"] / w["wall"], bc = b["cpu"] / b["wall"];
        add("run log: CPU stepping at 20 ms / 5 ms, CPU s per wall s over " +
                std::to_string(total) + " s: logged / not",
            fmt(wc, 4), fmt(bc, 4), ratio(wc, bc), "≤ 1.1× without the log", wc <= 1.1 * bc);
    }
    {
        Child c = start({"logsize", "-", QString::number(quick ? 3 : 20)});
        Result r = finish(c);
        add("run log: size per hour of the worst simulator fault at 20 ms, MB (fault #" +
                fmt(r["fault"], 0) + ")",
            fmt(r["bytes_per_hour"] / 1e6, 3), "", "", "a day under 10 MB (≤ 0.417 MB per hour)",
            r["bytes_per_hour"] * 24 < 10e6);
    }
    {
        // A pymodbus module on this machine, the same for both sides, which take turns.
        QProcess module;
        const int port = 20000 + int(QCoreApplication::applicationPid() % 20000);
        module.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(LOOPTEST_MODBUS_MODULE),
                                                          QStringLiteral("--tcp=%1").arg(port)});
        module.waitForReadyRead(10000);
        auto [w, b] =
            rounds({"modbus", "program", QString::number(port)},
                   {"modbus", "bare", QString::number(port)}, quick ? 100 : 4000, quick ? 1 : 4);
        module.kill();
        module.waitForFinished();
        if (w.count("absent"))
            add("Modbus: one loop's I/O (write + two reads) over TCP to pymodbus, µs",
                "no Modbus in this build", "", "", "≤ 1.1× a bare libmodbus client", true);
        else
            add("Modbus: one loop's I/O (write + two reads) over TCP to pymodbus, µs (median / "
                "p99; n)",
                fmt(w["median"]) + " / " + fmt(w["p99"]) + "; " + fmt(w["n"], 0),
                fmt(b["median"]) + " / " + fmt(b["p99"]) + "; " + fmt(b["n"], 0),
                ratio(w["median"], b["median"]) + " / " + ratio(w["p99"], b["p99"]),
                "median ≤ 1.1× a bare libmodbus client", w["median"] <= 1.1 * b["median"]);
    }
    helperRows(quick);
    summaryRows(quick);
    return printRows(quick);
}

} // namespace

int main(int argc, char* argv[]) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    if (args.value(0) == QLatin1String("--child")) {
        // The program's children start Qt as main does; the baselines, named by the child's
        // second word, as any Qt program.
        const QString which = args.value(2);
        if (which != QLatin1String("bare") && which != QLatin1String("timerfd"))
            setUpQtEnvironment();
        QApplication app(argc, argv);
        setUpApplication(app);
        return runChild(args.mid(1));
    }

    QCoreApplication app(argc, argv);
    g_program = QCoreApplication::applicationFilePath();
    g_platform = QStringLiteral("offscreen");
    if (args.contains(QLatin1String("--x11"))) {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            std::fprintf(stderr, "looptest_bench: --x11 needs an X server in DISPLAY\n");
            return 2;
        }
        g_platform = QStringLiteral("xcb");
    }
    const bool quick = args.contains(QLatin1String("--quick"));
    // The rows of one part alone: reading logs back, or the port helper and the diagnosis.
    if (args.contains(QLatin1String("--summary-only"))) {
        summaryRows(quick);
        return printRows(quick);
    }
    if (args.contains(QLatin1String("--helper-only"))) {
        helperRows(quick);
        return printRows(quick);
    }
    return runParent(quick);
}
