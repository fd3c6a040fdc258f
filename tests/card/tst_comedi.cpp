#include "card/DeviceSpec.h"
#include "card/comedi/ComediBackend.h"
#include "card/isa/IsaBackend.h"
#include "card/modbus/ModbusBackend.h"
#include "support/FakeDio.h"

#include <QTemporaryDir>
#include <QtTest>

#include <map>

namespace {

using Kind = DioLibrary::Kind;

} // namespace

class TstComedi : public QObject {
    Q_OBJECT
private slots:
    void layoutsOfSixteenOutAndSixteenIn();
    void portBytesMapToChannelsBothWays();
    void oneSubdeviceOfThirtyTwoIsSplitAndConfigured();
    void devicesThatCannotServeSayWhy();
    void theChooserListsOnlyUsableDevices();
    void aDeviceIsHeldAndItsSubdevicesReserved();
};

void TstComedi::layoutsOfSixteenOutAndSixteenIn() {
    FakeDio dio;
    dio.subs = {{Kind::Other, 8}, {Kind::DigitalIn, 16}, {Kind::DigitalOut, 24}};
    auto l = findDioLayout(dio);
    QVERIFY(l);
    QCOMPARE(l->outSubdevice, 2);
    QCOMPARE(l->inSubdevice, 1);

    dio.subs = {{Kind::DigitalInOut, 16}, {Kind::DigitalInOut, 16}};
    l = findDioLayout(dio);
    QVERIFY(l);
    QCOMPARE(l->outSubdevice, 0);
    QCOMPARE(l->inSubdevice, 1);

    dio.subs = {{Kind::DigitalInOut, 32}};
    l = findDioLayout(dio);
    QVERIFY(l);
    QCOMPARE(l->outSubdevice, 0);
    QCOMPARE(l->inSubdevice, 0);
    QCOMPARE(l->inBase, 16);

    // Too few dedicated inputs: a separate input/output subdevice serves as the inputs.
    dio.subs = {{Kind::DigitalOut, 16}, {Kind::DigitalIn, 8}, {Kind::DigitalInOut, 24}};
    l = findDioLayout(dio);
    QVERIFY(l);
    QCOMPARE(l->outSubdevice, 0);
    QCOMPARE(l->inSubdevice, 2);
    QCOMPARE(l->inBase, 0);

    dio.subs = {{Kind::DigitalOut, 16}, {Kind::DigitalIn, 8}};
    QVERIFY(!findDioLayout(dio));
    dio.subs = {{Kind::DigitalInOut, 24}};
    QVERIFY(!findDioLayout(dio)); // one subdevice cannot give 16 of each
    dio.subs = {{Kind::DigitalOut, 8}, {Kind::DigitalIn, 16}};
    QVERIFY(!findDioLayout(dio));
    dio.subs = {};
    QVERIFY(!findDioLayout(dio));
}

void TstComedi::portBytesMapToChannelsBothWays() {
    std::vector<FakeDio::Bitfield> log;
    auto fake = std::make_unique<FakeDio>();
    fake->subs = {{Kind::DigitalIn, 16}, {Kind::DigitalOut, 16}};
    fake->log = &log;
    FakeDio* dio = fake.get();
    QString why;
    auto dev = ComediDevice::open(std::move(fake), "/dev/comedi0", why);
    QVERIFY2(dev, qPrintable(why));
    QVERIFY(dio->direction.empty()); // dedicated subdevices need no configuring

    QVERIFY(dev->write(0, 0x81));
    QVERIFY(dev->write(1, 0x1F0)); // only the low byte drives relays
    QCOMPARE(dio->levels[1], std::uint64_t(0xF081));
    QCOMPARE(log.size(), std::size_t(2));
    QCOMPARE(log[1].sub, 1);
    QCOMPARE(log[1].mask, 0xFFu);
    QCOMPARE(log[1].base, 8u);

    // Inputs 0 and 9 high (active): handed over active-low.
    dio->levels[0] = (1u << 0) | (1u << 9);
    std::int16_t data = 0;
    QVERIFY(dev->read(0, data));
    QCOMPARE(data, 0xFE);
    QVERIFY(dev->read(1, data));
    QCOMPARE(data, 0xFD);
    QCOMPARE(log.back().mask, 0u); // reading writes nothing
    QVERIFY(!dev->read(2, data));
    QVERIFY(!dev->write(-1, 0));
}

void TstComedi::oneSubdeviceOfThirtyTwoIsSplitAndConfigured() {
    auto fake = std::make_unique<FakeDio>();
    fake->subs = {{Kind::DigitalInOut, 32}};
    FakeDio* dio = fake.get();
    QString why;
    auto dev = ComediDevice::open(std::move(fake), "/dev/comedi3", why);
    QVERIFY2(dev, qPrintable(why));
    for (int c = 0; c < 16; ++c) {
        QCOMPARE(dio->direction.at({0, c}), true);
        QCOMPARE(dio->direction.at({0, 16 + c}), false);
    }
    QVERIFY(dev->write(1, 0x80)); // relay 15 is channel 15
    QCOMPARE(dio->levels[0], std::uint64_t(1) << 15);
    dio->levels[0] |= std::uint64_t(1) << 16; // input 0 is channel 16
    std::int16_t data = 0;
    QVERIFY(dev->read(0, data));
    QCOMPARE(data, 0xFE);
}

void TstComedi::devicesThatCannotServeSayWhy() {
    QString why;
    auto closed = std::make_unique<FakeDio>();
    closed->opens = false;
    QVERIFY(!ComediDevice::open(std::move(closed), "/dev/comedi0", why));
    QVERIFY2(why.contains(QLatin1String("Cannot open /dev/comedi0")), qPrintable(why));

    auto small = std::make_unique<FakeDio>();
    small->subs = {{Kind::DigitalInOut, 24}};
    QVERIFY(!ComediDevice::open(std::move(small), "/dev/comedi1", why));
    QVERIFY2(why.contains(QLatin1String("no 16 digital outputs")), qPrintable(why));

    auto stubborn = std::make_unique<FakeDio>();
    stubborn->subs = {{Kind::DigitalInOut, 32}};
    stubborn->configureFails = true;
    QVERIFY(!ComediDevice::open(std::move(stubborn), "/dev/comedi2", why));
    QVERIFY2(why.contains(QLatin1String("refused")), qPrintable(why));

    QVERIFY(!ComediDevice::open(nullptr, "/dev/comedi0", why));
    QVERIFY(!why.isEmpty());
}

// Opening a device holds it for this program, by the device it is, and reserves its two
// subdevices (one, when one serves both ports) before any channel is set up; a second open is
// refused with the holder named, and one whose subdevice another program reserved says so.
void TstComedi::aDeviceIsHeldAndItsSubdevicesReserved() {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("comedi0")).toStdString();
    QFile(QString::fromStdString(path)).open(QIODevice::WriteOnly);
    const std::string link = dir.filePath(QStringLiteral("card")).toStdString();
    QVERIFY(::symlink(path.c_str(), link.c_str()) == 0);
    for (const int subdevices : {2, 1}) {
        std::vector<int> locked;
        auto fake = std::make_unique<FakeDio>();
        fake->subs = subdevices == 2
                         ? std::vector<FakeDio::Sub>{{Kind::DigitalOut, 16}, {Kind::DigitalIn, 16}}
                         : std::vector<FakeDio::Sub>{{Kind::DigitalInOut, 32}};
        fake->locked = &locked;
        FakeDio* dio = fake.get();
        QString why;
        auto dev = ComediDevice::open(std::move(fake), path, why);
        QVERIFY2(dev, qPrintable(why));
        const std::vector<int> reserved =
            subdevices == 2 ? std::vector<int>{0, 1} : std::vector<int>{0};
        QVERIFY(locked == reserved);
        QCOMPARE(dio->direction.size(), std::size_t(subdevices == 2 ? 0 : 32));

        auto second = std::make_unique<FakeDio>();
        second->subs = dio->subs;
        int configured = 0; // the refused fake is gone with its open
        second->configured = &configured;
        QVERIFY(!ComediDevice::open(std::move(second), link, why));
        QVERIFY2(why.startsWith(QStringLiteral("Another program is using this card: looptest "
                                               "(pid %1, user ")
                                    .arg(QCoreApplication::applicationPid())),
                 qPrintable(why));
        QCOMPARE(configured, 0); // refused before any channel was set up
    }
    auto reserved = std::make_unique<FakeDio>();
    reserved->subs = {{Kind::DigitalInOut, 32}};
    reserved->lockFails = true;
    int configured = 0;
    reserved->configured = &configured;
    QString why;
    QVERIFY(!ComediDevice::open(std::move(reserved), path, why));
    QVERIFY2(why.contains(QLatin1String("has reserved subdevice 0 of ")) &&
                 why.contains(QLatin1String("Device or resource busy")),
             qPrintable(why));
    QCOMPARE(configured, 0);
}

void TstComedi::theChooserListsOnlyUsableDevices() {
    QTemporaryDir dev;
    QVERIFY(dev.isValid());
    auto names = [](const std::vector<std::unique_ptr<DeviceEntry>>& entries) {
        QStringList out;
        for (const auto& e : entries)
            out << e->name();
        return out;
    };
    DeviceSources sources;
    sources.standIns[isaBackend().name] = IsaStandIn{"/nonexistent/looptest-porthelper", {}};
    sources.leftOut = {modbusBackend().name};
    // A device file whose library answer decides: comedi0 serves, comedi1 is too small.
    ComediStandIn comedi{dev.path().toStdString(), [] {
                             struct PathDio : FakeDio {
                                 bool open(const std::string& path) override {
                                     subs = path.ends_with("comedi0")
                                                ? std::vector<Sub>{{Kind::DigitalOut, 16},
                                                                   {Kind::DigitalIn, 16}}
                                                : std::vector<Sub>{{Kind::DigitalOut, 8}};
                                     return true;
                                 }
                             };
                             return std::unique_ptr<DioLibrary>(new PathDio);
                         }};
    sources.standIns[comediBackend().name] = comedi;

    // No device files: only the ISA card and the simulator.
    QStringList listed = names(standardDeviceEntries(sources));
    QCOMPARE(listed.size(), 2);
    QVERIFY(listed.filter(QStringLiteral("Data-acquisition")).isEmpty());

    for (const char* n : {"comedi1", "comedi0", "comedi0_subd2", "other"}) {
        QFile f(dev.filePath(QString::fromLatin1(n)));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    listed = names(standardDeviceEntries(sources));
    QCOMPARE(listed.size(), 3);
    QCOMPARE(listed[1], QStringLiteral("Data-acquisition card %1 (fake board)")
                            .arg(dev.filePath(QStringLiteral("comedi0"))));
    QVERIFY(listed.last().startsWith(QLatin1String("Loop-back simulator")));

    // A device named on the command line that the search did not list is offered all the
    // same, so that opening it says what is wrong with it.
    DeviceSpec named;
    std::string why;
    QVERIFY(parseDeviceSpec("comedi:" + dev.filePath(QStringLiteral("comedi1")).toStdString(),
                            named, why));
    listed = names(standardDeviceEntries(sources, &named));
    QCOMPARE(listed.size(), 4);
    QVERIFY(listed[2].endsWith(QLatin1String("comedi1 (named device)")));

    // Built without the library: no such entries, whatever the device files.
    sources.standIns[comediBackend().name] = ComediStandIn{comedi.deviceDir, {}};
    QCOMPARE(names(standardDeviceEntries(sources)).size(), 2);
}

QTEST_GUILESS_MAIN(TstComedi)
#include "tst_comedi.moc"
