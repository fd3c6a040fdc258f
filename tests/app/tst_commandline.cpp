#include "app/CommandLine.h"
#include "app/HeadlessRun.h"
#include "card/Backend.h"
#include "card/CardId.h"
#include "card/comedi/ComediBackend.h"
#include "card/isa/IsaBackend.h"
#include "card/modbus/ModbusBackend.h"
#include "card/modbus/ModbusSettings.h"
#include "card/simulator/SimulatorBackend.h"
#include "card/simulator/SimulatorEntry.h"
#include "looptest/LoopTest.h"
#include "support/JUnitReader.h"
#include "support/ModalAnswerer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <stdexcept>
#include <string_view>
#include <unistd.h>

using Kind = SimulatorFault::Kind;

namespace {

// The simulator with a fault, recording the last byte written to each port.
struct Recorded {
    std::int16_t last[2] = {-1, -1};
};
class RecordingEntry : public SimulatorEntry {
public:
    explicit RecordingEntry(Recorded& r)
        : r_(r) {}
    std::unique_ptr<PortDevice> open(QString& why) override {
        struct Device : LoopbackSimulator {
            Device(SimulatorFault f, Recorded& r)
                : LoopbackSimulator(f)
                , r(r) {}
            bool write(std::int32_t port, std::int16_t data) override {
                r.last[port & 1] = data;
                return LoopbackSimulator::write(port, data);
            }
            Recorded& r;
        };
        why.clear();
        return std::make_unique<Device>(fault(), r_);
    }

private:
    Recorded& r_;
};

Options parsed(const std::vector<std::string>& args, std::string* error = nullptr) {
    Options o;
    std::string why;
    const bool ok = parseCommandLine(args, o, why);
    if (error)
        *error = ok ? std::string() : why;
    return o;
}

// The program without a display; without a record unless the arguments name one.
QProcess* program(const QStringList& args, bool record = false) {
    auto* p = new QProcess;
    QProcessEnvironment env;
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")); // no display there
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    p->setProcessEnvironment(env);
    p->start(QStringLiteral(LOOPTEST_PROGRAM),
             record ? args : args + QStringList{QStringLiteral("--no-log")});
    p->waitForFinished(60000);
    return p;
}

} // namespace

class TstCommandLine : public QObject {
    Q_OBJECT
private slots:
    void deviceSpecs_data();
    void deviceSpecs();
    void optionRules();
    void exitStatusesWithoutADisplay();
    void headlessCountsEqualTheWindowsAndJUnitReadsThem();
    void sigtermStopsTheRunInOrder();
    void noOutputReplacesAnInputOrAnotherOutput_data();
    void noOutputReplacesAnInputOrAnotherOutput();
    void noOptionWritesOverTheLabDatabase();
    void everyEndingIsInTheJUnitReport();
    void cardIdsAreExactlyTheirAlphabet();
};

void TstCommandLine::deviceSpecs_data() {
    QTest::addColumn<QString>("spec");
    QTest::addColumn<QString>("expect"); // "kind n m k operate", or the start of the error
    QTest::newRow("sim") << "sim"
                         << "sim 0 1 10 0";
    QTest::newRow("never") << "sim:relay-never-closes=15"
                           << "sim 15 1 10 0";
    QTest::newRow("stuck") << "sim:input-stuck-active=0,operate-ms=30"
                           << "sim 0 1 10 30";
    QTest::newRow("inactive") << "sim:input-never-active=7"
                              << "sim 7 1 10 0";
    QTest::newRow("swap") << "sim:swap=2,5"
                          << "sim 2 5 10 0";
    QTest::newRow("writes") << "sim:write-fails-every=3"
                            << "sim 0 1 3 0";
    QTest::newRow("reads") << "sim:read-fails-every=1"
                           << "sim 0 1 1 0";
    QTest::newRow("dead") << "sim:dead-after=100,operate-ms=0"
                          << "sim 0 1 100 0";
    QTest::newRow("operate") << "sim:operate-ms=10000"
                             << "sim 0 1 10 10000";
    QTest::newRow("isa") << "isa"
                         << "isa 300";
    QTest::newRow("isa base") << "isa:0x2A0"
                              << "isa 2a0";
    QTest::newRow("comedi") << "comedi:/dev/comedi0"
                            << "comedi /dev/comedi0";
    QTest::newRow("nothing") << ""
                             << "\"\" is not a device";
    QTest::newRow("unknown") << "card"
                             << "\"card\" is not a device";
    QTest::newRow("no fault") << "sim:"
                              << "sim: names no fault";
    QTest::newRow("bad fault") << "sim:melts=3"
                               << "unknown simulator fault";
    QTest::newRow("channel 16") << "sim:relay-never-closes=16"
                                << "relay-never-closes: \"16\"";
    QTest::newRow("no value") << "sim:relay-never-closes"
                              << "the fault relay-never-closes takes";
    QTest::newRow("swap one") << "sim:swap=3"
                              << "the fault swap takes swap=N,M";
    QTest::newRow("swap same") << "sim:swap=4,4"
                               << "swap needs two different";
    QTest::newRow("k zero") << "sim:dead-after=0"
                            << "dead-after: \"0\" is not a count";
    QTest::newRow("operate") << "sim:operate-ms=-1"
                             << "operate-ms takes";
    QTest::newRow("isa range") << "isa:80"
                               << "isa:BASE: The I/O base 0x80 is out of range";
    QTest::newRow("isa hex") << "isa:xyz"
                             << "isa:BASE: \"xyz\" is not a hexadecimal";
    QTest::newRow("comedi") << "comedi:comedi0"
                            << "comedi: needs the device file";
}

void TstCommandLine::deviceSpecs() {
    QFETCH(QString, spec);
    QFETCH(QString, expect);
    DeviceSpec d;
    std::string why;
    if (!parseDeviceSpec(spec.toStdString(), d, why)) {
        QVERIFY2(QString::fromStdString(why).startsWith(expect), why.c_str());
        return;
    }
    QString got;
    if (const auto* f = d.settingsOf<SimulatorFault>(simulatorBackend()))
        got = QStringLiteral("sim %1 %2 %3 %4").arg(f->n).arg(f->m).arg(f->k).arg(f->operateMs);
    else if (const auto* base = d.settingsOf<unsigned>(isaBackend()))
        got = QStringLiteral("isa %1").arg(*base, 0, 16);
    else if (const auto* path = d.settingsOf<std::string>(comediBackend()))
        got = QStringLiteral("comedi ") + QString::fromStdString(*path);
    else if (const auto* m = d.settingsOf<ModbusSettings>(modbusBackend()))
        got = QStringLiteral("modbus ") + QString::fromStdString(m->describe());
    QCOMPARE(got, expect);
}

void TstCommandLine::optionRules() {
    std::string error;
    Options o = parsed({"--headless", "--device=sim:swap=1,2", "--duration", "45m", "--step", "20",
                        "--readback", "500", "--junit", "r.xml", "--no-log"});
    QCOMPARE(int(o.mode), int(Options::Mode::Headless));
    QCOMPARE(o.durationMs, 45 * 60'000);
    QCOMPARE(o.device->settingsOf<SimulatorFault>(simulatorBackend())->kind, Kind::SwappedWires);
    QVERIFY(o.stepMs == 20 && o.readbackMs == 500 && o.junit == "r.xml" && o.noLog);
    QCOMPARE(parsed({"--headless", "--device", "sim", "--duration", "8h"}).durationMs,
             8 * 3'600'000);
    QCOMPARE(int(parsed({"--device", "isa", "--log", "f.csv"}).mode), int(Options::Mode::Window));
    QCOMPARE(int(parsed({"--headless", "--version"}).mode), int(Options::Mode::Version));
    o = parsed({"--diagnose", "--device", "sim", "--repeat", "5", "--readback", "9", "--json", "d",
                "--html", "h", "--junit", "j"});
    QVERIFY(o.mode == Options::Mode::Diagnose && o.repeat == 5 && o.readbackMs == 9 &&
            o.json == "d" && o.html == "h" && o.junit == "j");
    o = parsed({"--lab", "--lab-db", "sqlite:/tmp/l.sqlite", "--limits", "card.ini"});
    QVERIFY(o.mode == Options::Mode::Lab && o.labDb == "sqlite:/tmp/l.sqlite" &&
            o.limits == "card.ini");

    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"--headless", "--loops", "5"}, "--headless needs --device"},
        {{"--headless", "--device", "sim"}, "--headless needs either"},
        {{"--headless", "--device", "sim", "--loops", "5", "--duration", "9s"}, "--headless needs"},
        {{"--headless", "--device", "sim", "--loops", "0"}, "--loops takes"},
        {{"--headless", "--device", "sim", "--duration", "90"}, "--duration takes"},
        {{"--headless", "--device", "sim", "--duration", "2d"}, "--duration takes"},
        {{"--headless", "--device", "sim", "--loops", "1", "--step", "19"}, "--step takes"},
        {{"--headless", "--device", "sim", "--loops", "1", "--readback", "501"}, "--readback"},
        {{"--headless", "--device", "sim", "--loops", "1", "--readback", "4"}, "--readback takes"},
        {{"--headless", "--device", "sim", "--duration", "2562047788015216h"}, "--duration takes"},
        {{"--summary", "run.csv", "--no-log"}, "--summary reads a log"},
        {{"--diagnose"}, "--diagnose needs --device"},
        {{"--diagnose", "--device", "sim", "--loops", "5"}, "--loops does not go with --diagnose"},
        {{"--diagnose", "--device", "sim", "--repeat", "0"}, "--repeat takes"},
        {{"--device", "sim", "--json", "d.json"}, "--json belongs to --diagnose"},
        {{"--loops", "5"}, "--loops belongs to a headless run"},
        {{"--junit", "r.xml"}, "--junit belongs"},
        {{"--log", "a", "--no-log"}, "--log and --no-log"},
        {{"--device"}, "--device needs"},
        {{"--help=yes"}, "--help takes no value"},
        {{"-x"}, "unknown argument"},
        {{"--lab", "--device", "sim"}, "--lab opens the lab's window and runs nothing"},
        {{"--lab", "--card-history", "X"}, "--lab opens the lab's window"},
    };
    for (const auto& [args, want] : bad) {
        parsed(args, &error);
        QVERIFY2(error.rfind(want, 0) == 0, error.c_str());
    }
}

void TstCommandLine::exitStatusesWithoutADisplay() {
    std::unique_ptr<QProcess> p(program({QStringLiteral("--help")}));
    QCOMPARE(p->exitCode(), 0);
    QVERIFY(p->readAllStandardOutput().contains("Exit status:"));
    p.reset(program({QStringLiteral("--version")}));
    QVERIFY(p->readAllStandardOutput().startsWith("looptest "));
    p.reset(program(
        {QStringLiteral("--headless"), QStringLiteral("--device"), QStringLiteral("sim:melts")}));
    QCOMPARE(p->exitCode(), 64);
    const QByteArray usage = p->readAllStandardError();
    QVERIFY2(usage.contains("unknown simulator fault") && usage.contains("Usage: looptest"),
             usage.constData());
    p.reset(program({QStringLiteral("--headless"), QStringLiteral("--device"),
                     QStringLiteral("comedi:/nonexistent/comedi0"), QStringLiteral("--loops"),
                     QStringLiteral("3")}));
    QCOMPARE(p->exitCode(), 2);
    QVERIFY(p->readAllStandardError().contains("Cannot open /nonexistent/comedi0"));
    p.reset(program({QStringLiteral("--headless"), QStringLiteral("--device"),
                     QStringLiteral("sim"), QStringLiteral("--loops"), QStringLiteral("20"),
                     QStringLiteral("--step"), QStringLiteral("20")}));
    QCOMPARE(p->exitCode(), 0);
    QVERIFY(p->readAllStandardOutput().contains("verdict: PASS"));

    // The card dies before OK can open the relays: the run fails, and so does its summary.
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("dead.csv"));
    p.reset(program({QStringLiteral("--headless"), QStringLiteral("--device=sim:dead-after=8"),
                     QStringLiteral("--loops=2"), QStringLiteral("--step=20"),
                     QStringLiteral("--log"), log},
                    true));
    QCOMPARE(p->exitCode(), 1);
    p.reset(program({QStringLiteral("--summary"), log}, true));
    const QByteArray summary = p->readAllStandardOutput();
    QCOMPARE(p->exitCode(), 1);
    QVERIFY2(summary.contains("failed writes: 1 (charged to no relay: 1)\nverdict: FAIL"),
             summary.constData());
}

// The same fault through the window's handlers in this process and through the program run
// headless: the same counts, and the JUnit report says so to an independent reader.
void TstCommandLine::headlessCountsEqualTheWindowsAndJUnitReadsThem() {
    const SimulatorFault fault{Kind::InputStuckActive, 5, 1, 10, 0};
    struct Card : CardControl {
        LoopbackSimulator sim;
        explicit Card(SimulatorFault f)
            : sim(f) {}
        bool SelectDevice() override { return true; }
        void setActive(bool) override {}
        bool ReadPort(std::int32_t p, std::int16_t& d) override { return sim.read(p, d); }
        bool WritePort(std::int32_t p, std::int16_t d) override { return sim.write(p, d); }
    } card(fault);
    LoopTest w(card);
    {
        ModalAnswerer answerer;
        w.Form_Load();
    }
    w.autoCmd_Click();
    for (int s = 0; s < 40; ++s) {
        w.Timer1_Timer();
        w.getTimer_Timer();
    }
    QStringList expected;
    for (int r = 0; r < 16; ++r)
        expected << QStringLiteral("%1 %2 %3").arg(r).arg(15 - r).arg(w.results().errors(r));
    const std::int64_t stuck = w.results().errors(10);
    QVERIFY(stuck > 30); // input 5 is active while relay 10 is open

    QTemporaryDir dir;
    const QString junit = dir.filePath(QStringLiteral("report.xml"));
    std::unique_ptr<QProcess> p(
        program({QStringLiteral("--headless"), QStringLiteral("--device=sim:input-stuck-active=5"),
                 QStringLiteral("--loops=40"), QStringLiteral("--step=20"),
                 QStringLiteral("--junit"), junit}));
    QCOMPARE(p->exitCode(), 1);
    QStringList table;
    for (const QByteArray& line : p->readAllStandardOutput().split('\n'))
        if (!line.isEmpty() && std::isdigit(static_cast<unsigned char>(line.trimmed().at(0))))
            table << QString::fromLatin1(line.simplified());
    QCOMPARE(table, expected);

    QString why;
    const QString read = readJUnit(junit, why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(read, QStringLiteral("looptest 18 1\nrelay 10 -> input 5 %1 errors").arg(stuck));
}

void TstCommandLine::sigtermStopsTheRunInOrder() {
    Recorded rec;
    std::vector<std::unique_ptr<DeviceEntry>> entries;
    entries.push_back(std::make_unique<RecordingEntry>(rec));
    Options o;
    std::string error;
    QVERIFY(parseCommandLine({"--headless", "--device", "sim", "--duration", "1h", "--step", "20",
                              "--readback", "15", "--no-log"},
                             o, error));
    QElapsedTimer sent;
    QTimer::singleShot(500, [&] {
        sent.start();
        std::raise(SIGTERM);
    });
    QTemporaryFile out;
    QVERIFY(out.open());
    std::FILE* sink = std::fopen(qPrintable(out.fileName()), "w");
    QCOMPARE(runHeadless(o, std::move(entries), sink, sink), 143);
    QVERIFY2(sent.elapsed() < 1000, qPrintable(QString::number(sent.elapsed())));
    std::fclose(sink);
    QCOMPARE(rec.last[0], 0); // OK opened every relay
    QCOMPARE(rec.last[1], 0);
    QVERIFY(out.readAll().contains("verdict: PASS"));
}

void TstCommandLine::noOutputReplacesAnInputOrAnotherOutput_data() {
    QTest::addColumn<QStringList>("mode"); // the options of the mode the pair goes with
    QTest::addColumn<QString>("first");    // the option whose file exists, holding bytes
    QTest::addColumn<QString>("second");   // the option that names it again
    const QStringList headless{QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                               QStringLiteral("--loops=1")};
    const QStringList diagnose{QStringLiteral("--diagnose"), QStringLiteral("--device=sim")};
    QTest::newRow("summary html") << QStringList{} << QStringLiteral("--summary")
                                  << QStringLiteral("--html");
    const QStringList runOutputs{QStringLiteral("--log"), QStringLiteral("--junit"),
                                 QStringLiteral("--metrics")};
    const QStringList diagnosisOutputs{QStringLiteral("--log"), QStringLiteral("--json"),
                                       QStringLiteral("--html"), QStringLiteral("--junit")};
    for (const auto& [mode, outputs] :
         {std::pair{headless, runOutputs}, std::pair{diagnose, diagnosisOutputs}})
        for (int i = 0; i < outputs.size(); ++i)
            for (int j = i + 1; j < outputs.size(); ++j)
                QTest::addRow("%s %s %s", qPrintable(mode[0]), qPrintable(outputs[i]),
                              qPrintable(outputs[j]))
                    << mode << outputs[i] << outputs[j];
}

// Two options that name one file, by the same name, by "./", by a symbolic link or a hard
// link: a bad command line that names both, and the file's bytes as they were; nothing else
// is created.
void TstCommandLine::noOutputReplacesAnInputOrAnotherOutput() {
    QFETCH(QStringList, mode);
    QFETCH(QString, first);
    QFETCH(QString, second);
    const QByteArray kept = "time,loop,event\r\nthese bytes stay as they are\r\n";
    for (const char* form : {"same name", "./", "symbolic link", "hard link"}) {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("kept.csv"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(kept) == kept.size());
        f.close();
        QString other = file;
        const QString link = dir.filePath(QStringLiteral("other"));
        if (form == std::string_view("./"))
            other = dir.path() + QStringLiteral("/./sub/../kept.csv");
        else if (form == std::string_view("symbolic link"))
            QVERIFY(QFile::link(file, other = link));
        else if (form == std::string_view("hard link"))
            QVERIFY(::link(qPrintable(file), qPrintable(other = link)) == 0);
        if (form == std::string_view("./"))
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        const QStringList args = QStringList(mode) << first << file << second << other;
        std::unique_ptr<QProcess> p(program(args, true));
        const QString err = QString::fromLocal8Bit(p->readAllStandardError());
        QVERIFY2(p->exitCode() == 64, qPrintable(QStringLiteral("%1: %2").arg(form, err)));
        QVERIFY2(err.contains(first) && err.contains(second), qPrintable(err));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), kept);
        f.close();
        QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::System);
        left.sort();
        QCOMPARE(left,
                 form == std::string_view("symbolic link") || form == std::string_view("hard link")
                     ? QStringList({QStringLiteral("kept.csv"), QStringLiteral("other")})
                     : QStringList{QStringLiteral("kept.csv")});
    }
}

// The lab's SQLite database, the default one or --lab-db's, with its -wal and -shm, is a file
// the program owns: an output or a log that names it, by name or by a link, is a bad command
// line, and the database's bytes stay as they are.
void TstCommandLine::noOptionWritesOverTheLabDatabase() {
    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral("data"));
    const QString lab = data + QStringLiteral("/looptest/lab.sqlite");
    const QString other = dir.filePath(QStringLiteral("other.sqlite"));
    QVERIFY(QDir().mkpath(data + QStringLiteral("/looptest")));
    const QByteArray kept("SQLite format 3\0 and every card's records", 41);
    for (const QString& file : {lab, other, other + QStringLiteral("-wal")}) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(kept) == kept.size());
    }
    QVERIFY(QFile::link(lab, dir.filePath(QStringLiteral("link"))));
    const QString log = dir.filePath(QStringLiteral("run.csv"));
    const QStringList headless{QStringLiteral("--headless"), QStringLiteral("--device=sim"),
                               QStringLiteral("--loops=1"), QStringLiteral("--card=LT-1")};
    const QStringList diagnose{QStringLiteral("--diagnose"), QStringLiteral("--device=sim")};
    const QString otherDb = QStringLiteral("--lab-db=sqlite:") + other;
    const std::vector<QStringList> lines{
        headless + QStringList{QStringLiteral("--junit"), lab},
        headless + QStringList{QStringLiteral("--log"), dir.filePath(QStringLiteral("link"))},
        headless + QStringList{otherDb, QStringLiteral("--metrics"), other + "-wal"},
        headless + QStringList{otherDb, QStringLiteral("--log"), other + "-shm"},
        diagnose + QStringList{QStringLiteral("--json"), lab},
        diagnose + QStringList{otherDb, QStringLiteral("--html"), other},
        QStringList{QStringLiteral("--summary"), log, QStringLiteral("--html"), lab},
    };
    for (const QStringList& args : lines) {
        QProcess p;
        QProcessEnvironment env;
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), data);
        env.insert(QStringLiteral("HOME"), dir.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(LOOPTEST_PROGRAM), args);
        QVERIFY(p.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(p.exitCode() == 64 && err.contains(QLatin1String("the lab's database")),
                 qPrintable(args.join(' ') + QStringLiteral(": ") + err));
        for (const QString& file : {lab, other, other + QStringLiteral("-wal")}) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), kept);
        }
        QVERIFY(!QFile::exists(other + QStringLiteral("-shm")));
        QVERIFY(!QFile::exists(lab + QStringLiteral("-wal")));
    }
}

// A headless run's JUnit report, read by junitparser, in every way a run ends: it fails
// exactly when the exit status does, and a run cut short says how.
void TstCommandLine::everyEndingIsInTheJUnitReport() {
    // A simulated card whose reads throw once `reads` reads are done: a run-time error.
    struct Throwing : SimulatorEntry {
        int reads;
        explicit Throwing(int n)
            : reads(n) {}
        std::unique_ptr<PortDevice> open(QString& why) override {
            struct Device : LoopbackSimulator {
                int left;
                explicit Device(int n)
                    : left(n) {}
                bool read(std::int32_t port, std::int16_t& data) override {
                    if (--left < 0)
                        throw std::runtime_error("the card's driver gave up");
                    return LoopbackSimulator::read(port, data);
                }
            };
            why.clear();
            return std::make_unique<Device>(reads);
        }
    };
    const struct {
        const char* name;
        std::vector<std::string> args;
        int reads; // of the throwing card; -1: the simulator of the spec
        bool signal;
        int status;
        const char* report; // as junitparser reads it; %1: the report's failing run line
    } endings[] = {
        {"passed", {"--device", "sim", "--loops", "20"}, -1, false, 0, "looptest 18 0"},
        {"failed",
         {"--device", "sim:relay-never-closes=3", "--loops", "32"},
         -1,
         false,
         1,
         "looptest 18 1\nrelay 3 -> input 12 2 errors"},
        {"device lost", {"--device", "sim:dead-after=40", "--loops", "40"}, -1, false, 1, nullptr},
        {"signal",
         {"--device", "sim", "--duration", "1h"},
         -1,
         true,
         143,
         "looptest 19 1\nthe run to its end stopped by SIGTERM after"},
        {"run-time error",
         {"--device", "sim", "--loops", "100"},
         30,
         false,
         70,
         "looptest 19 1\nthe run to its end a run-time error ended the run after 15 loops: "},
    };
    for (const auto& e : endings) {
        QTemporaryDir dir;
        const std::string junit = dir.filePath(QStringLiteral("r.xml")).toStdString();
        std::vector<std::string> args{"--headless", "--step", "20", "--no-log", "--junit", junit};
        args.insert(args.end(), e.args.begin(), e.args.end());
        Options o;
        std::string error;
        QVERIFY2(parseCommandLine(args, o, error), error.c_str());
        std::vector<std::unique_ptr<DeviceEntry>> entries;
        if (e.reads >= 0)
            entries.push_back(std::make_unique<Throwing>(e.reads));
        else
            entries = standardDeviceEntries({}, &*o.device);
        if (e.signal)
            QTimer::singleShot(300, [] { std::raise(SIGTERM); });
        std::FILE* sink = std::fopen("/dev/null", "w");
        const int status = runHeadless(o, std::move(entries), sink, sink);
        std::fclose(sink);
        QVERIFY2(status == e.status, e.name);
        QString why;
        const QString read = readJUnit(QString::fromStdString(junit), why);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const QStringList suite = read.section(QLatin1Char('\n'), 0, 0).split(QLatin1Char(' '));
        QCOMPARE(suite.value(2) != QLatin1String("0"), status != 0);
        if (e.report)
            QVERIFY2(read.startsWith(QLatin1String(e.report)), qPrintable(e.name + (": " + read)));
    }
}

// An ID is its alphabet and nothing else, wherever it comes in: the command line, and a card
// row of a run's record.
void TstCommandLine::cardIdsAreExactlyTheirAlphabet() {
    const struct {
        const char* id;
        bool valid;
    } ids[] = {{"LT-7", true},      {"a.b_c-9", true},  {"LT-7\n", false}, {"\nLT-7", false},
               {"", false},         {".hidden", false}, {"a/b", false},    {"a b", false},
               {"LT\u00e9", false}, {"x\ty", false},    {"../x", false},   {"LT-7\r", false}};
    for (const auto& c : ids) {
        std::string error;
        parsed({"--card", c.id}, &error);
        QVERIFY2(error.empty() == c.valid, c.id);
        QCOMPARE(validCardId(QString::fromUtf8(c.id)), c.valid);
    }
    QString id64(64, QLatin1Char('x'));
    QVERIFY(validCardId(id64));
    QVERIFY(!validCardId(id64 + QLatin1Char('x')));
}

QTEST_MAIN(TstCommandLine)
#include "tst_commandline.moc"
