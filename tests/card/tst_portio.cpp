#include "card/PortIoDevice.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TstPortIo : public QObject {
    Q_OBJECT
private slots:
    void init();
    void bytesLandAtBaseAndBasePlusOneOnly();
    void basesOutsideTheIsaWindowAreRefused();
    void aMissingPortDeviceSaysSo();
    void noPermissionSaysWhatToRun();
    void ioErrorsMidRunReturnFalse();

private:
    QByteArray fileBytes() const;
    QTemporaryDir dir_;
    std::string path_;
};

void TstPortIo::init() {
    QVERIFY(dir_.isValid());
    path_ = dir_.filePath(QStringLiteral("port")).toStdString();
    QFile f(QString::fromStdString(path_));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QByteArray(0x400, char(0xA5))); // a stand-in for the I/O space
}

QByteArray TstPortIo::fileBytes() const {
    QFile f(QString::fromStdString(path_));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TstPortIo::bytesLandAtBaseAndBasePlusOneOnly() {
    QString why;
    auto dev = PortIoDevice::open(path_, 0x2A0, why);
    QVERIFY2(dev, qPrintable(why));
    QVERIFY(dev->write(0, 0x12));
    QVERIFY(dev->write(1, 0x1F0)); // only the low byte goes out
    QVERIFY(!dev->write(2, 0x55));
    QVERIFY(!dev->write(-1, 0x55));

    QByteArray expected(0x400, char(0xA5));
    expected[0x2A0] = char(0x12);
    expected[0x2A1] = char(0xF0);
    QCOMPARE(fileBytes(), expected);

    std::int16_t data = 0;
    QVERIFY(dev->read(1, data));
    QCOMPARE(data, 0xF0);
    QVERIFY(dev->read(0, data));
    QCOMPARE(data, 0x12);
    QVERIFY(!dev->read(2, data));
    QCOMPARE(fileBytes(), expected); // reading changes nothing
}

void TstPortIo::basesOutsideTheIsaWindowAreRefused() {
    unsigned base = 0;
    QString why;
    QVERIFY(PortIoDevice::parseBase(QStringLiteral("300"), base, why));
    QCOMPARE(base, 0x300u);
    QVERIFY(PortIoDevice::parseBase(QStringLiteral(" 0x3fe "), base, why));
    QCOMPARE(base, 0x3FEu);
    QVERIFY(PortIoDevice::parseBase(QStringLiteral("100"), base, why));

    for (const char* bad : {"ff", "0x3ff", "0", "10000"}) {
        QVERIFY(!PortIoDevice::parseBase(QString::fromLatin1(bad), base, why));
        QVERIFY2(why.contains(QLatin1String("0x100 and 0x3FE")), qPrintable(why));
    }
    for (const char* garbage : {"", "xyz", "30 0", "-300"}) {
        QVERIFY(!PortIoDevice::parseBase(QString::fromLatin1(garbage), base, why));
        QVERIFY2(why.contains(QLatin1String("not a hexadecimal")), qPrintable(why));
    }

    // Out of range, nothing is opened: not even the existence of the file is looked at.
    QVERIFY(!PortIoDevice::open("/nonexistent/port", 0x80, why));
    QVERIFY2(why.contains(QLatin1String("out of range")), qPrintable(why));
    QVERIFY(!PortIoDevice::open(path_, 0x3FF, why));
    QCOMPARE(fileBytes(), QByteArray(0x400, char(0xA5)));
}

void TstPortIo::aMissingPortDeviceSaysSo() {
    QString why;
    QVERIFY(!PortIoDevice::open(dir_.filePath(QStringLiteral("none")).toStdString(), 0x300, why));
    QVERIFY2(why.contains(QLatin1String("does not exist")), qPrintable(why));
}

void TstPortIo::noPermissionSaysWhatToRun() {
    QVERIFY(::chmod(path_.c_str(), 0600) == 0);
    // Root passes every permission check; test as an unprivileged user for the moment.
    const bool root = ::geteuid() == 0;
    if (root)
        QVERIFY(::seteuid(65534) == 0);
    QString why;
    auto dev = PortIoDevice::open(path_, 0x300, why);
    if (root)
        QVERIFY(::seteuid(0) == 0);
    QVERIFY(!dev);
    QVERIFY2(why.contains(QLatin1String("No permission")), qPrintable(why));
    QVERIFY2(why.contains(QLatin1String("sudo setcap cap_sys_rawio,cap_dac_override+ep ")),
             qPrintable(why));
    QCOMPARE(fileBytes(), QByteArray(0x400, char(0xA5)));
}

void TstPortIo::ioErrorsMidRunReturnFalse() {
    QString why;
    // Writes to /dev/full fail with "no space"; they must come back as false.
    if (QFile::exists(QStringLiteral("/dev/full"))) {
        auto full = PortIoDevice::open("/dev/full", 0x300, why);
        QVERIFY2(full, qPrintable(why));
        QVERIFY(!full->write(0, 1));
    }
    // A read past the end of the file transfers nothing: a short read is a failed read.
    auto dev = PortIoDevice::open(path_, 0x300, why);
    QVERIFY(dev);
    QVERIFY(::truncate(path_.c_str(), 0x100) == 0);
    std::int16_t data = 77;
    QVERIFY(!dev->read(0, data));
    QCOMPARE(data, 77);
}

QTEST_GUILESS_MAIN(TstPortIo)
#include "tst_portio.moc"
