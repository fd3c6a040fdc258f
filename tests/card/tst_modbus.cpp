#include "card/CardHold.h"
#include "card/modbus/ModbusDevice.h"
#include "card/modbus/ModbusEntry.h"
#include "lab/LabDatabase.h"
#include "runlog/Summary.h"
#include "support/FreePort.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

// Against an independent Modbus implementation: Debian's pymodbus serving a module whose
// discrete input i follows coil 15 - i, over TCP on this machine and over RTU through a
// pseudo-terminal pair.
namespace {

struct Module {
    QProcess process;
    bool start(const QStringList& args) {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("/usr/bin/python3"),
                      QStringList{QStringLiteral(LOOPTEST_MODBUS_MODULE)} + args);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(100);
            if (process.readAllStandardOutput().contains("ready"))
                return true;
        }
        return false;
    }
    ~Module() {
        process.kill();
        process.waitForFinished();
    }
};

struct Run {
    int status = -1;
    QString out, err;
};

Run headless(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(LOOPTEST_PROGRAM),
            QStringList{QStringLiteral("--headless"), QStringLiteral("--step=20")} + args);
    p.waitForFinished(120000);
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// The relays whose counter is not zero, from the program's table.
QStringList failing(const QString& table) {
    QStringList out;
    for (const QString& line : table.split(QLatin1Char('\n'))) {
        const QStringList f = line.simplified().split(QLatin1Char(' '));
        if (f.size() == 3 && f[0].toInt() >= 0 && f[0] != QLatin1String("relay") && f[2] != "0")
            out << f[0];
    }
    return out;
}

} // namespace

class TstModbus : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void openingReadsTheMapAndSaysWhatIsWrong();
    void headlessRunsOverTcpAndRtu();
    void anOutageIsCountedAndTheRunRecovers();
    void aDiagnosisOverModbusIsCoarseButRight();
    void oneModuleOneProgramOnThisPc();
    void aSecondMasterEndsTheRunWithItsCountsKept();
};

void TstModbus::initTestCase() {
    QProcess check;
    check.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"), QStringLiteral("import pymodbus, serial_asyncio")});
    if (!check.waitForFinished(30000) || check.exitCode() != 0)
        QFAIL("python3-pymodbus or python3-serial-asyncio is missing: scripts/setup.sh installs "
              "them");
}

void TstModbus::openingReadsTheMapAndSaysWhatIsWrong() {
    const int port = freePort();
    Module module;
    QVERIFY(module.start({QStringLiteral("--tcp=%1").arg(port), QStringLiteral("--unit=3"),
                          QStringLiteral("--coils=100"), QStringLiteral("--inputs=200")}));
    ModbusSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    s.unit = 3;
    s.coils = 100;
    s.inputs = 200;
    QString why;
    auto dev = ModbusDevice::open(s, why);
    QVERIFY2(dev, qPrintable(why));
    std::int16_t in = 0;
    QVERIFY(dev->write(0, 0x08)); // relay 3 closes: input 12, bit 4 of port 1, goes active
    QVERIFY(dev->read(1, in));
    QCOMPARE(in, 0xEF);
    QVERIFY(dev->read(0, in));
    QCOMPARE(in, 0xFF);
    QVERIFY(dev->write(1, 0x81)); // relays 8 and 15: inputs 7 and 0
    QVERIFY(dev->read(0, in));
    QCOMPARE(in, 0x7E);
    dev.reset();

    // The same through the chooser's settings for the entry.
    ModbusEntry entry;
    std::unique_ptr<QWidget> page(entry.createOptions(nullptr));
    page->findChild<QLineEdit*>(QStringLiteral("modbusHost"))->setText(QStringLiteral("127.0.0.1"));
    for (const auto& [name, value] : {std::pair{"modbusPort", port},
                                      {"modbusUnit", 3},
                                      {"modbusCoils", 100},
                                      {"modbusInputs", 200}})
        page->findChild<QSpinBox*>(QString::fromLatin1(name))->setValue(value);
    QVERIFY2(entry.open(why), qPrintable(why));

    s.inputs = 300;
    QVERIFY(!ModbusDevice::open(s, why));
    QVERIFY2(why.contains(QLatin1String("has no discrete inputs 300 to 315")) &&
                 why.contains(QLatin1String("Illegal data address")),
             qPrintable(why));
    s.inputs = 200;
    s.unit = 4;
    QVERIFY(!ModbusDevice::open(s, why));
    QCOMPARE(why, QStringLiteral("No answer from unit 4 in 100 ms."));
    s.port = freePort();
    QVERIFY(!ModbusDevice::open(s, why));
    QVERIFY2(why.startsWith(QLatin1String("Cannot connect to 127.0.0.1")), qPrintable(why));
}

void TstModbus::headlessRunsOverTcpAndRtu() {
    const int port = freePort();
    {
        Module module;
        QVERIFY(module.start({QStringLiteral("--tcp=%1").arg(port)}));
        const QString spec = QStringLiteral("--device=modbus-tcp:127.0.0.1:%1").arg(port);
        Run r = headless({spec, QStringLiteral("--loops=32"), QStringLiteral("--no-log")});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
    }
    {
        Module module;
        QVERIFY(module.start({QStringLiteral("--tcp=%1").arg(port), QStringLiteral("--unit=7"),
                              QStringLiteral("--coils=16"), QStringLiteral("--never-closes=3")}));
        Run r =
            headless({QStringLiteral("--device=modbus-tcp:localhost:%1,unit=7,coils=16").arg(port),
                      QStringLiteral("--loops=32"), QStringLiteral("--no-log")});
        QCOMPARE(r.status, 1);
        QCOMPARE(failing(r.out), QStringList{QStringLiteral("3")}); // charged to relay 3 alone
    }

    QTemporaryDir dir;
    QProcess socat;
    socat.start(
        QStringLiteral("socat"),
        {QStringLiteral("pty,raw,echo=0,link=%1").arg(dir.filePath(QStringLiteral("module"))),
         QStringLiteral("pty,raw,echo=0,link=%1").arg(dir.filePath(QStringLiteral("card")))});
    QTRY_VERIFY(QFile::exists(dir.filePath(QStringLiteral("card"))));
    {
        Module module;
        QVERIFY(
            module.start({QStringLiteral("--rtu=%1").arg(dir.filePath(QStringLiteral("module"))),
                          QStringLiteral("--baud=19200"), QStringLiteral("--unit=5"),
                          QStringLiteral("--inputs=32")}));
        // Parity is left at none: a pseudo-terminal carries no parity bits.
        Run r = headless({QStringLiteral("--device=modbus-rtu:%1,baud=19200,unit=5,inputs=32")
                              .arg(dir.filePath(QStringLiteral("card"))),
                          QStringLiteral("--loops=32"), QStringLiteral("--no-log")});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
    }
    {
        // One read answered 300 ms late: it fails within its time-out, and its late answer
        // never passes for the answer to a later request.
        Module module;
        QVERIFY(
            module.start({QStringLiteral("--rtu=%1").arg(dir.filePath(QStringLiteral("module"))),
                          QStringLiteral("--late-once=3")}));
        ModbusSettings s;
        s.rtu = true;
        s.device = dir.filePath(QStringLiteral("card")).toStdString();
        QString why;
        auto dev = ModbusDevice::open(s, why); // the first read of the inputs
        QVERIFY2(dev, qPrintable(why));
        std::int16_t in = 0;
        QVERIFY(dev->write(0, 0x08) && dev->read(1, in));
        QCOMPARE(in, 0xEF);
        QElapsedTimer waited;
        waited.start();
        QVERIFY(!dev->read(1, in));
        QVERIFY2(waited.elapsed() < 250, qPrintable(QString::number(waited.elapsed())));
        QTest::qWait(1200); // a serial module is asked again after a second
        QVERIFY(dev->read(0, in));
        QCOMPARE(in, 0xFF); // port 0's inputs, not port 1's late answer
    }
    socat.kill();
    socat.waitForFinished();
}

// The module goes away for three seconds in a ten-second run: the failures are counted, the
// walk keeps its pace meanwhile, and once the module is back the run is clean again.
void TstModbus::anOutageIsCountedAndTheRunRecovers() {
    const int port = freePort();
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("run.csv"));
    auto module = std::make_unique<Module>();
    QVERIFY(module->start({QStringLiteral("--tcp=%1").arg(port)}));
    QProcess run;
    run.start(QStringLiteral(LOOPTEST_PROGRAM),
              {QStringLiteral("--headless"), QStringLiteral("--step=20"),
               QStringLiteral("--device=modbus-tcp:127.0.0.1:%1").arg(port),
               QStringLiteral("--duration=10s"), QStringLiteral("--log"), log});
    QTest::qWait(3000);
    module.reset();
    QTest::qWait(3000);
    module = std::make_unique<Module>();
    QVERIFY(module->start({QStringLiteral("--tcp=%1").arg(port)}));
    QVERIFY(run.waitForFinished(30000));
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    QCOMPARE(run.exitCode(), 1);

    RunSummary s;
    QString why;
    QVERIFY2(readRunLog(log, s, why), qPrintable(why));
    QVERIFY2(s.failedReads > 0, qPrintable(out));
    QVERIFY2(s.loops >= 400, qPrintable(out)); // at 20 ms, ten seconds are 500 loops
    QVERIFY(s.lastErrorMs > 0);
    const qint64 cleanAtTheEnd = s.lastRowMs - s.lastErrorMs;
    QVERIFY2(cleanAtTheEnd >= 2000, qPrintable(QString::number(cleanAtTheEnd)));

    // A module that restarts comes back with its coils open: that is no other master. What
    // this program wrote before is not known again until it writes.
    ModbusSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    auto dev = ModbusDevice::open(settings, why);
    QVERIFY2(dev, qPrintable(why));
    std::int16_t in = 0;
    std::string words;
    QVERIFY(dev->write(1, 0x81) && dev->read(0, in) && dev->read(1, in));
    QVERIFY2(dev->outputsAsWritten(words), words.c_str());
    module = std::make_unique<Module>();
    QVERIFY(module->start({QStringLiteral("--tcp=%1").arg(port)}));
    QVERIFY(!dev->read(0, in)); // the old connection is gone
    QTRY_VERIFY_WITH_TIMEOUT(dev->write(0, 0x01), 20000);
    QVERIFY(dev->read(0, in) && dev->read(1, in));
    QVERIFY2(dev->outputsAsWritten(words), words.c_str());
}

// A healthy module diagnosed: every channel ok, timed one read per round trip.
void TstModbus::aDiagnosisOverModbusIsCoarseButRight() {
    const int port = freePort();
    Module module;
    QVERIFY(module.start({QStringLiteral("--tcp=%1").arg(port)}));
    QTemporaryDir dir;
    const QString json = dir.filePath(QStringLiteral("diagnosis.json"));
    QProcess p;
    p.start(QStringLiteral(LOOPTEST_PROGRAM),
            {QStringLiteral("--diagnose"),
             QStringLiteral("--device=modbus-tcp:127.0.0.1:%1").arg(port),
             QStringLiteral("--no-log"), QStringLiteral("--json"), json});
    QVERIFY(p.waitForFinished(120000));
    // The channels that are not ok, if any, with the table's head.
    QStringList table = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    table.removeIf([](const QString& line) { return line.contains(QLatin1String("  ok  ")); });
    QVERIFY2(p.exitCode() == 0, qPrintable(table.join(QLatin1Char('\n'))));
    QFile file(json);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject d = QJsonDocument::fromJson(file.readAll()).object();
    const double resolution = d.value(QStringLiteral("resolution_ms")).toDouble();
    // One sample a round trip to another process: never a few microseconds, however fast the
    // machine or idle its cores (a busy machine's figure is larger, a quiet one's smaller).
    QVERIFY2(resolution > 0.01 && resolution < 20, qPrintable(QString::number(resolution)));
    for (const QJsonValue& c : d.value(QStringLiteral("channels")).toArray()) {
        QCOMPARE(c[QStringLiteral("class")].toString(), QStringLiteral("ok"));
        QVERIFY(c[QStringLiteral("operate_ms")].isObject());
    }
}

// A run holds its module: a second run and a diagnosis (naming the module another way) are
// refused with the holder named and change none of the first's counts; the run killed with
// SIGKILL leaves nothing that keeps the next start off the module.
void TstModbus::oneModuleOneProgramOnThisPc() {
    const int port = freePort();
    Module module;
    QVERIFY(module.start({QStringLiteral("--tcp=%1").arg(port)}));
    ModbusSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    const std::string key = ModbusDevice::holdKey(s);
    QProcess first;
    first.start(QStringLiteral(LOOPTEST_PROGRAM),
                {QStringLiteral("--headless"), QStringLiteral("--step=20"),
                 QStringLiteral("--device=modbus-tcp:127.0.0.1:%1").arg(port),
                 QStringLiteral("--duration=4s"), QStringLiteral("--no-log")});
    QTRY_VERIFY_WITH_TIMEOUT(!CardHold::holder(key).empty(), 20000);
    const QString holder = QStringLiteral("Another program is using this card: looptest "
                                          "--headless (pid %1, user ")
                               .arg(first.processId());
    const Run second = headless({QStringLiteral("--device=modbus-tcp:localhost:%1").arg(port),
                                 QStringLiteral("--loops=16"), QStringLiteral("--no-log")});
    QCOMPARE(second.status, 2);
    QVERIFY2(second.err.contains(holder), qPrintable(second.err));
    QProcess diagnosis;
    diagnosis.start(QStringLiteral(LOOPTEST_PROGRAM),
                    {QStringLiteral("--diagnose"),
                     QStringLiteral("--device=modbus-tcp:127.0.0.1:%1,unit=1").arg(port),
                     QStringLiteral("--no-log")});
    QVERIFY(diagnosis.waitForFinished(60000));
    QCOMPARE(diagnosis.exitCode(), 2);
    QVERIFY2(QString::fromUtf8(diagnosis.readAllStandardError()).contains(holder),
             qPrintable(holder));
    QVERIFY(first.waitForFinished(60000));
    const QString out = QString::fromUtf8(first.readAllStandardOutput());
    QVERIFY2(first.exitCode() == 0 && failing(out).isEmpty(), qPrintable(out));
    QVERIFY(CardHold::holder(key).empty());

    QProcess killed;
    killed.start(QStringLiteral(LOOPTEST_PROGRAM),
                 {QStringLiteral("--headless"),
                  QStringLiteral("--device=modbus-tcp:127.0.0.1:%1").arg(port),
                  QStringLiteral("--duration=60s"), QStringLiteral("--no-log")});
    QTRY_VERIFY_WITH_TIMEOUT(!CardHold::holder(key).empty(), 20000);
    killed.kill(); // SIGKILL
    QVERIFY(killed.waitForFinished(10000));
    const Run next = headless({QStringLiteral("--device=modbus-tcp:127.0.0.1:%1").arg(port),
                               QStringLiteral("--loops=16"), QStringLiteral("--no-log")});
    QVERIFY2(next.status == 0, qPrintable(next.out + next.err));
}

// Another master writes the module's coils during a run, as a program on another PC would:
// the run finds its coils changed, ends with the words, and keeps what it had counted, clean
// as without the intruder; its record, JUnit report and the lab's row say why it ended. With
// verify=off it cannot tell, and counts what it reads.
void TstModbus::aSecondMasterEndsTheRunWithItsCountsKept() {
    const int port = freePort();
    Module module;
    QVERIFY(module.start({QStringLiteral("--tcp=%1").arg(port)}));
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("run.csv"));
    const QString junit = dir.filePath(QStringLiteral("run.xml"));
    const QString lab = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("lab.sqlite"));
    auto runWith = [&](const QString& settings, QProcess& run, const QString& log) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        run.setProcessEnvironment(env);
        run.start(QStringLiteral(LOOPTEST_PROGRAM),
                  {QStringLiteral("--headless"), QStringLiteral("--step=20"),
                   QStringLiteral("--device=modbus-tcp:127.0.0.1:%1%2").arg(port).arg(settings),
                   QStringLiteral("--duration=30s"), QStringLiteral("--log"), log,
                   QStringLiteral("--junit"), junit, QStringLiteral("--card=LT-40"),
                   QStringLiteral("--lab-db=") + lab});
    };
    auto intrude = [&](QProcess& master) {
        master.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(LOOPTEST_SECOND_MASTER), QStringLiteral("--port"),
                      QString::number(port), QStringLiteral("--delay"), QStringLiteral("2")});
    };
    QProcess run, master;
    runWith({}, run, log);
    intrude(master);
    QVERIFY(run.waitForFinished(60000));
    master.kill();
    master.waitForFinished();
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    const QString err = QString::fromUtf8(run.readAllStandardError());
    QCOMPARE(run.exitCode(), 70);
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral(
                 "looptest: another program is driving this module \\(coils \\d+-\\d+ "
                 "read [01]{8} where this program wrote [01]{8}\\) after \\d+ "
                 "loops: the run ended there"))),
             qPrintable(err));
    QVERIFY2(failing(out).isEmpty() && out.contains(QLatin1String("failed reads: 0\n")),
             qPrintable(out));
    RunSummary summary;
    QString why;
    QVERIFY2(readRunLog(log, summary, why), qPrintable(why));
    QVERIFY(summary.loops > 0); // two seconds at 20 ms before the intruder
    QFile record(log), report(junit);
    QVERIFY(record.open(QIODevice::ReadOnly) && report.open(QIODevice::ReadOnly));
    QVERIFY(record.readAll().contains("another program is driving this module"));
    QVERIFY(report.readAll().contains("another program is driving this module"));
    LabDatabase db(lab);
    LabDatabase::History h;
    bool known = false;
    QVERIFY2(db.open(why) && db.history(QStringLiteral("LT-40"), 5, h, known, why),
             qPrintable(why));
    QCOMPARE(h.lastRuns.front().ending, QStringLiteral("taken over by another program"));
    QCOMPARE(h.lastRuns.front().errors, 0);
    QCOMPARE(h.lastRuns.front().loops, summary.loops);

    // The same module told not to be read back: the run cannot tell, and counts the intruder's
    // coils as the card's errors until its end.
    QProcess blind, again;
    runWith(QStringLiteral(",verify=off"), blind, dir.filePath(QStringLiteral("blind.csv")));
    intrude(again);
    QTest::qWait(4000);
    blind.terminate(); // SIGTERM: the run ends as at its end
    QVERIFY(blind.waitForFinished(60000));
    again.kill();
    again.waitForFinished();
    QCOMPARE(blind.exitCode(), 143);
    QVERIFY(!failing(QString::fromUtf8(blind.readAllStandardOutput())).isEmpty());
}

QTEST_MAIN(TstModbus)
#include "tst_modbus.moc"
