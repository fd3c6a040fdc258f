// A run without the window and its record: a headless run's start-up and CPU, the log's cost,
// CPU and size, and --summary reading a log back against Python's csv module.
#include "Bench.h"
#include "Programs.h"

#include "app/CommandLine.h"
#include "app/HeadlessRun.h"
#include "card/simulator/SimulatorBackend.h"
#include "card/simulator/SimulatorEntry.h"
#include "runlog/LogFormat.h"
#include "runlog/Wording.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <optional>
#include <string>

namespace bench {

namespace {

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

// A row's text around its loop count, written by the log's own format: the rows of the
// benchmark's log differ in little more than that.
struct RowText {
    std::string before, after;
    void write(std::FILE* f, long long loop) const {
        std::fprintf(f, "%s%lld%s", before.c_str(), loop, after.c_str());
    }
};

RowText rowText(logformat::Event event, int channel, std::int64_t count, const char* detail,
                std::optional<ErrorKind> kind = {}) {
    logformat::LogRow r;
    r.ms = 1'796'626'800'000; // 2026-12-07 08:00 in Central Europe
    r.event = event;
    r.channel = channel;
    r.count = count;
    r.detail = QString::fromUtf8(detail);
    if (kind) {
        r.written = 0x40;
        r.read = 0xFF;
        r.kind = kind;
    }
    QStringList fields;
    for (const QString& f : logformat::fields(r))
        fields << logformat::csvField(f);
    return {fields[0].toStdString() + ",",
            "," + fields.mid(2).join(QLatin1Char(',')).toStdString() + "\r\n"};
}

// A valid log of at least `bytes` bytes: relay 6 of a card flickers, one error row a loop, a
// checkpoint every 3000 loops, then the totals and the end.
bool writeLog(const QString& path, qint64 bytes) {
    using logformat::Event;
    std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "w");
    if (!f)
        return false;
    std::fprintf(f, "%s\r\n", logformat::kHeader);
    rowText(Event::Start, -1, -1, "device: a benchmark's log").write(f, 0);
    const RowText mismatch = rowText(
        Event::Mismatch, 6, 1, "relay 6 closed, input 9 stayed inactive", ErrorKind::InputInactive);
    long long loop = 0;
    while (std::ftell(f) < bytes) {
        mismatch.write(f, ++loop);
        if (loop % 3000 == 0)
            rowText(Event::Checkpoint, 6, loop, "").write(f, loop);
    }
    for (int r = 0; r < 16; ++r)
        rowText(Event::Total, r, r == 6 ? loop : 0, "").write(f, loop);
    rowText(Event::Total, -1, loop, "loop count").write(f, loop);
    rowText(Event::End, -1, loop, qPrintable(endDetail(false))).write(f, loop);
    return std::fclose(f) == 0;
}

} // namespace

const Measurement headless{
    "headless", "a headless run: process start to the first step, and CPU per loop",
    [](const QStringList& a) { childHeadless(a.value(0).toLongLong(), a.value(1).toInt()); },
    [](bool quick) {
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
    }};

const Measurement logCost{
    "logcost", "one loop with every channel failing, logged and not",
    [](const QStringList& a) {
        childLogCost(a.value(0) == QLatin1String("logged"), a.value(1).toInt());
    },
    [](bool quick) {
        {
            const QString n = QString::number(quick ? 2000 : 100000);
            auto [w, b] = pair({"logcost", "logged", n}, {"logcost", "plain", n});
            add("run log: one loop with all 16 channels failing, window hidden, µs: logged / not",
                fmt(w["us_per_loop"], 2), fmt(b["us_per_loop"], 2),
                ratio(w["us_per_loop"], b["us_per_loop"]), "reported", true);
        }
    }};

const Measurement logCpu{
    "logcpu", "CPU stepping at 20 ms / 5 ms with the run log and without", nullptr, [](bool quick) {
        {
            const int total = quick ? 2 : 30;
            auto [w, b] = rounds({"cpu", "logged"}, {"cpu", "window"}, total, quick ? 1 : 10);
            const double wc = w["cpu"] / w["wall"], bc = b["cpu"] / b["wall"];
            add("run log: CPU stepping at 20 ms / 5 ms, CPU s per wall s over " +
                    std::to_string(total) + " s: logged / not",
                fmt(wc, 4), fmt(bc, 4), ratio(wc, bc), "≤ 1.1× without the log", wc <= 1.1 * bc);
        }
    }};

const Measurement logSize{
    "logsize", "the run log's size per hour of the worst simulated fault",
    [](const QStringList& a) { childLogSize(a.value(1).toInt()); },
    [](bool quick) {
        {
            Child c = start({"logsize", "-", QString::number(quick ? 3 : 20)});
            Result r = finish(c);
            add("run log: size per hour of the worst simulator fault at 20 ms, MB (fault #" +
                    fmt(r["fault"], 0) + ")",
                fmt(r["bytes_per_hour"] / 1e6, 3), "", "",
                "a day under 10 MB (≤ 0.417 MB per hour)", r["bytes_per_hour"] * 24 < 10e6);
        }
    }};

const Measurement summary{
    "summary", "--summary of a 1 GB log against Python's csv, and its memory", nullptr,
    [](bool quick) {
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
    }};

} // namespace bench
