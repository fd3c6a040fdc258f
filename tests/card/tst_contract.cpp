// One contract that every backend's device passes, through the same code: it opens, takes a
// byte on each port, reads both ports back as its stand-in answers, refuses ports it does not
// have, and reports a failing call with the reason in words. Each backend runs on its
// stand-in: the simulator itself, the port helper serving a file, comedi's fake library, and
// a pymodbus module.
#include "card/comedi/ComediBackend.h"
#include "card/isa/IsaBackend.h"
#include "card/simulator/SimulatorBackend.h"
#include "support/FakeDio.h"
#include "support/FreePort.h"
#ifdef LOOPTEST_WITH_MODBUS
#include "card/modbus/ModbusBackend.h"
#include <modbus/modbus.h>
#endif

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <thread>
#include <unistd.h>

namespace {

// What a card wired back reads on a port after the two relay bytes: input i, bit i % 8 of
// port i / 8, is active (clear) when relay 15 - i is closed.
int loopBack(int port, int relays0, int relays1) {
    const int relays = relays0 | (relays1 << 8);
    int byte = 0xFF;
    for (int k = 0; k < 8; ++k)
        if ((relays >> (15 - (8 * port + k))) & 1)
            byte &= ~(1 << k);
    return byte;
}

// A backend on its stand-in: the entry that opens it, what it reads back, and how to make its
// next call fail, with the words the failure gives.
struct StandIn {
    std::unique_ptr<DeviceEntry> entry;
    std::function<int(int port, int relays0, int relays1)> reads;
    std::function<void()> breakIt;
    const char* says;
    std::function<void()> cleanUp = [] {};
};

std::unique_ptr<DeviceEntry> entryOf(const Backend& backend, const DeviceSources& sources,
                                     const std::string& spec) {
    DeviceSpec named;
    std::string why;
    if (!parseDeviceSpec(spec, named, why))
        qFatal("%s", why.c_str());
    std::vector<std::unique_ptr<DeviceEntry>> entries;
    backend.list(sources, &named, entries);
    for (auto& e : entries)
        if (e->takeSpec(named))
            return std::move(e);
    qFatal("no entry takes %s", spec.c_str());
}

} // namespace

class TstContract : public QObject {
    Q_OBJECT
private slots:
    void everyBackendKeepsTheContract_data();
    void everyBackendKeepsTheContract();
    void everyBackendKeepsTime_data();
    void everyBackendKeepsTime();

private:
    StandIn standIn(const QString& backend);
    QTemporaryDir dir_;
    std::shared_ptr<FakeDio*> dio_ = std::make_shared<FakeDio*>(nullptr);
    std::unique_ptr<QProcess> module_;
    int modbusPort_ = 0;
};

StandIn TstContract::standIn(const QString& backend) {
    DeviceSources sources;
    if (backend == QLatin1String("simulator")) {
        // The card stops answering after its open, two writes and two reads.
        return {entryOf(simulatorBackend(), sources, "sim:dead-after=4"), loopBack, [] {},
                "stops answering"};
    }
    if (backend == QLatin1String("isa")) {
        const std::string file = dir_.filePath(QStringLiteral("ports")).toStdString();
        QFile f(QString::fromStdString(file));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QByteArray(0x400, char(0xFF)));
        f.close();
        sources.standIns[isaBackend().name] = IsaStandIn{LOOPTEST_PORT_HELPER, file};
        // The file reads back what was written; cut short, it holds no port at all.
        return {entryOf(isaBackend(), sources, "isa:300"),
                [](int port, int r0, int r1) { return port == 0 ? r0 : r1; },
                [file] { QVERIFY(::truncate(file.c_str(), 0x100) == 0); },
                "could not reach I/O address 0x300"};
    }
    if (backend == QLatin1String("comedi")) {
        QFile(dir_.filePath(QStringLiteral("comedi0"))).open(QIODevice::WriteOnly);
        auto dio = dio_;
        sources.standIns[comediBackend().name] =
            ComediStandIn{dir_.path().toStdString(),
                          [dio] { return std::unique_ptr<DioLibrary>(*dio = FakeDio::wired()); }};
        return {entryOf(comediBackend(), sources,
                        "comedi:" + dir_.filePath(QStringLiteral("comedi0")).toStdString()),
                loopBack, [dio] { (*dio)->failing = true; }, "the fake board is gone"};
    }
#ifdef LOOPTEST_WITH_MODBUS
    const int port = modbusPort_ = freePort();
    module_ = std::make_unique<QProcess>();
    module_->start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(LOOPTEST_MODBUS_MODULE), QStringLiteral("--tcp=%1").arg(port)});
    QElapsedTimer t;
    t.start();
    QByteArray said;
    while (t.elapsed() < 10000 && !said.contains("ready") &&
           module_->state() != QProcess::NotRunning) {
        module_->waitForReadyRead(100);
        said += module_->readAllStandardOutput();
    }
    if (!said.contains("ready"))
        qFatal("the pymodbus module did not start: scripts/setup.sh installs python3-pymodbus");
    QProcess* module = module_.get();
    return {entryOf(modbusBackend(), sources, "modbus-tcp:127.0.0.1:" + std::to_string(port)),
            loopBack,
            [module] {
                module->kill();
                module->waitForFinished();
            },
            "the link failed", [this] { module_.reset(); }};
#else
    return {};
#endif
}

void TstContract::everyBackendKeepsTheContract_data() {
    QTest::addColumn<QString>("backend");
    QStringList names = {QStringLiteral("simulator"), QStringLiteral("isa"),
                         QStringLiteral("comedi")};
#ifdef LOOPTEST_WITH_MODBUS
    names << QStringLiteral("modbus");
#endif
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << name;
}

void TstContract::everyBackendKeepsTheContract() {
    QFETCH(QString, backend);
    StandIn s = standIn(backend);
    QString why;
    auto device = s.entry->open(why);
    QVERIFY2(device, qPrintable(why));

    QVERIFY(device->write(0, 0x5A) && device->write(1, 0x1C3)); // a port takes eight bits
    std::int16_t in[2] = {-1, -1};
    QVERIFY(device->read(0, in[0]) && device->read(1, in[1]));
    for (int port = 0; port < 2; ++port)
        QCOMPARE(int(in[port]), s.reads(port, 0x5A, 0xC3));

    for (int other : {-1, 2}) {
        std::int16_t untouched = 77;
        QVERIFY(!device->write(other, 0) && !device->read(other, untouched));
        QCOMPARE(untouched, 77);
        QVERIFY2(!device->lastError().empty(), qPrintable(backend));
    }

    s.breakIt();
    std::int16_t data = 77;
    QVERIFY(!device->read(0, data));
    QCOMPARE(data, 77);
    QVERIFY2(!device->lastError().empty() &&
                 QString::fromStdString(device->lastError()).contains(QLatin1String(s.says)),
             device->lastError().c_str());
    device.reset();
    s.cleanUp();
}

void TstContract::everyBackendKeepsTime_data() {
    everyBackendKeepsTheContract_data();
}

// The time a diagnosis relies on, the same on every backend: the clock never goes back, a wait
// lasts at least what was asked, and a watch sees an input change made while it watches, at a
// time no earlier than the change was made and no later than its longest gap after, and says
// how often it sampled.
void TstContract::everyBackendKeepsTime() {
    QFETCH(QString, backend);
    StandIn s = standIn(backend);
    if (backend == QLatin1String("simulator")) // its relays take 20 ms, on the real clock
        s.entry = entryOf(simulatorBackend(), {}, "sim:operate-ms=20,release-ms=20");
    QString why;
    auto device = s.entry->open(why);
    QVERIFY2(device, qPrintable(why));

    std::int64_t last = device->nowUs();
    for (int i = 0; i < 2000; ++i) {
        const std::int64_t now = device->nowUs();
        QVERIFY(now >= last);
        last = now;
    }
    for (std::int64_t asked : {0, 1500, 20000}) {
        const std::int64_t from = device->nowUs();
        device->waitUntil(from + asked);
        QVERIFY2(device->nowUs() >= from + asked, qPrintable(QString::number(asked)));
    }

    // Input 7 (port 0, bit 7) goes active when relay 8 closes, 20 ms into the watch: made by
    // another thread on the stand-in (the file, the fake library, a second Modbus client), or
    // by the simulator's own relay, which operates 20 ms after its write.
    QVERIFY(device->write(0, 0) && device->write(1, 0));
    device->waitUntil(device->nowUs() + 30000);
    std::int16_t before = 0;
    QVERIFY(device->read(0, before));
    std::atomic<std::int64_t> madeFrom{0}, madeTo{0};
    std::thread changer;
    auto made = [&](const std::function<void()>& change) {
        madeFrom = PortDevice::monotonicUs();
        change();
        madeTo = PortDevice::monotonicUs();
    };
    auto later = [&](std::function<void()> change) {
        changer = std::thread([&made, change] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            made(change);
        });
    };
    if (backend == QLatin1String("simulator")) {
        made([&] { QVERIFY(device->write(1, 0x01)); });
        madeFrom = madeFrom + 20000;
        madeTo = madeTo + 20000;
    } else if (backend == QLatin1String("isa")) {
        const QByteArray file = QFile::encodeName(dir_.filePath(QStringLiteral("ports")));
        later([file] {
            const int fd = ::open(file.constData(), O_WRONLY);
            const char active = 0x7F;
            [[maybe_unused]] const ssize_t n = ::pwrite(fd, &active, 1, 0x300);
            ::close(fd);
        });
    } else if (backend == QLatin1String("comedi")) {
        FakeDio* dio = *dio_;
        later([dio] { dio->relaysFromOutside = 0x0100; });
    } else {
#ifdef LOOPTEST_WITH_MODBUS
        const int port = modbusPort_;
        later([port] {
            modbus_t* other = modbus_new_tcp("127.0.0.1", port);
            modbus_set_slave(other, 1);
            if (modbus_connect(other) == 0)
                modbus_write_bit(other, 8, 1);
            modbus_close(other);
            modbus_free(other);
        });
#endif
    }
    // A change is seen at most the watch's longest gap after it came, or after the watch began
    // (a busy machine may start the watch after the other thread made the change).
    PortDevice::Watch w;
    const std::int64_t watchFrom = device->nowUs();
    const bool watched = device->watch(0, static_cast<std::uint8_t>(before & 0xFF), 500000, w);
    if (changer.joinable())
        changer.join();
    QVERIFY2(watched, device->lastError().c_str());
    QVERIFY2(!w.changes.empty(), qPrintable(backend));
    const std::int64_t seen = w.changes.front().us;
    const std::int64_t latest = std::max(madeTo.load(), watchFrom) + std::int64_t(w.longestGapUs);
    QVERIFY2(seen >= madeFrom && seen <= latest + 1,
             qPrintable(QStringLiteral("%1: made %2 to %3 µs, seen at %4 (longest gap %5 µs)")
                            .arg(backend)
                            .arg(madeFrom.load())
                            .arg(madeTo.load())
                            .arg(seen)
                            .arg(w.longestGapUs)));
    QVERIFY(!(w.changes.front().byte & 0x80)); // input 7 active
    QVERIFY(w.intervalUs > 0 && w.longestGapUs >= w.intervalUs);
    device.reset();
    s.cleanUp();
}

QTEST_MAIN(TstContract)
#include "tst_contract.moc"
