#include "card/DeviceChooser.h"
#include "card/DeviceSelectingCard.h"
#include "card/comedi/ComediBackend.h"
#include "card/isa/IsaBackend.h"
#include "card/isa/IsaCardEntry.h"
#include "card/isa/PortHelperDevice.h"
#include "looptest/LoopTest.h"
#include "porthelper/Protocol.h"
#include "support/ModalAnswerer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

// The port helper against a file standing in for the I/O space: the helper drops every
// capability before it opens such a file, so no test here can reach the machine's ports.
class TstPortHelper : public QObject {
    Q_OBJECT
private slots:
    void init();
    void bytesLandAtBaseAndBasePlusOneOnly();
    void basesOutsideTheIsaWindowAreRefused();
    void malformedOrRandomRequestsEndTheHelperCleanly();
    void aMissingDeadOrSilentHelperFailsWithinItsWait();
    void withoutItsCapabilityTheHelperSaysWhatToRun();
    void theWindowDrivesTheCardThroughTheHelper();
    void aWatchSeesChangesAtTheirTimes();
    void withoutItsGoodbyeTheHelperOpensEveryRelay();
    void oneCardOneProgram();

private:
    QByteArray fileBytes() const;
    QString script(const char* name, const QByteArray& body) const;
    QTemporaryDir dir_;
    std::string path_;
};

const std::string kHelper = LOOPTEST_PORT_HELPER;
const QByteArray kFresh(0x400, char(0xA5));

void TstPortHelper::init() {
    QVERIFY(dir_.isValid());
    path_ = dir_.filePath(QStringLiteral("port")).toStdString();
    QFile f(QString::fromStdString(path_));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(kFresh);
}

QByteArray TstPortHelper::fileBytes() const {
    QFile f(QString::fromStdString(path_));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// /proc/PID/status of this process's child that runs the helper.
QString helperStatus() {
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString line = QString::fromLatin1(stat.readAll());
        const QStringList after = line.mid(line.lastIndexOf(QLatin1Char(')')) + 2).split(' ');
        if (line.contains(QLatin1String("(looptest-porthe")) &&
            after.value(1).toLongLong() == QCoreApplication::applicationPid()) {
            QFile status(QStringLiteral("/proc/%1/status").arg(pid));
            status.open(QIODevice::ReadOnly);
            return QString::fromLatin1(status.readAll());
        }
    }
    return {};
}

QString TstPortHelper::script(const char* name, const QByteArray& body) const {
    QFile f(dir_.filePath(QString::fromLatin1(name)));
    f.open(QIODevice::WriteOnly);
    f.write("#!/bin/sh\n" + body + "\n");
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return f.fileName();
}

void TstPortHelper::bytesLandAtBaseAndBasePlusOneOnly() {
    QString why;
    auto dev = PortHelperDevice::open(kHelper, 0x2A0, why, path_);
    QVERIFY2(dev, qPrintable(why));
    // While it serves, it holds nothing and can gain nothing.
    const QString status = helperStatus();
    for (const char* line :
         {"NoNewPrivs:\t1", "CapInh:\t0000000000000000", "CapPrm:\t0000000000000000",
          "CapEff:\t0000000000000000", "CapAmb:\t0000000000000000"})
        QVERIFY2(status.contains(QLatin1String(line)),
                 qPrintable(line + QLatin1Char('\n') + status));
    QVERIFY(dev->write(0, 0x12));
    QVERIFY(dev->write(1, 0x1F0)); // only the low byte goes out
    QVERIFY(!dev->write(2, 0x55));
    QVERIFY(!dev->write(-1, 0x55));

    QByteArray expected = kFresh;
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

    // An I/O error on the helper's side is a failed call, and the helper goes on serving.
    QVERIFY(::truncate(path_.c_str(), 0x100) == 0);
    data = 77;
    QVERIFY(!dev->read(0, data));
    QCOMPARE(data, 77);
    QVERIFY(dev->write(1, 3)); // writing past the end grows the file
}

void TstPortHelper::basesOutsideTheIsaWindowAreRefused() {
    unsigned base = 0;
    QString why;
    QVERIFY(PortHelperDevice::parseBase(QStringLiteral(" 0x3fe "), base, why));
    QCOMPARE(base, 0x3FEu);
    QVERIFY(PortHelperDevice::parseBase(QStringLiteral("100"), base, why));
    for (const char* bad : {"ff", "0x3ff", "0", "10000"}) {
        QVERIFY(!PortHelperDevice::parseBase(QString::fromLatin1(bad), base, why));
        QVERIFY2(why.contains(QLatin1String("0x100 and 0x3FE")), qPrintable(why));
    }
    for (const char* garbage : {"", "xyz", "30 0", "-300"}) {
        QVERIFY(!PortHelperDevice::parseBase(QString::fromLatin1(garbage), base, why));
        QVERIFY2(why.contains(QLatin1String("not a hexadecimal")), qPrintable(why));
    }
    QVERIFY(!PortHelperDevice::open("/nonexistent/helper", 0x80, why, path_));
    QVERIFY2(why.contains(QLatin1String("out of range")), qPrintable(why));

    // The helper checks the base itself, before anything else.
    for (const char* bad : {"3ff", "ff", "0x10300", "300x", ""}) {
        QProcess helper;
        helper.start(QString::fromStdString(kHelper),
                     {QStringLiteral("--port-file"), QString::fromStdString(path_),
                      QString::fromLatin1(bad)});
        QVERIFY(helper.waitForFinished(5000));
        QCOMPARE(helper.exitCode(), porthelper::kExitUsage);
        QVERIFY(helper.readAllStandardError().contains("not an I/O base"));
    }
    QCOMPARE(fileBytes(), kFresh);
}

// Requests that break the protocol end the helper without an answer to them; random streams,
// mostly valid requests with garbage among them, never reach past base + 1.
void TstPortHelper::malformedOrRandomRequestsEndTheHelperCleanly() {
    const QByteArray hello(porthelper::kHello, sizeof porthelper::kHello);
    auto run = [&](const QByteArray& input, QByteArray& out) {
        QProcess helper;
        helper.start(
            QString::fromStdString(kHelper),
            {QStringLiteral("--port-file"), QString::fromStdString(path_), QStringLiteral("300")});
        helper.write(input);
        helper.closeWriteChannel();
        if (!helper.waitForFinished(5000) || helper.exitStatus() != QProcess::NormalExit)
            return -1;
        out = helper.readAllStandardOutput();
        return helper.exitCode();
    };
    QByteArray out;
    QCOMPARE(run(QByteArray("\x10\x01", 2), out), porthelper::kExitBadRequest); // read with a value
    QCOMPARE(out, hello);
    QCOMPARE(run(QByteArray("\x20\x07\x30\x00", 4), out), porthelper::kExitBadRequest);
    QCOMPARE(out, hello + QByteArray("\x00\x07", 2)); // the write was served, then it ended
    QCOMPARE(run(QByteArray("\x11", 1), out), porthelper::kExitBadRequest); // cut short
    QCOMPARE(run(QByteArray(), out), 0);

    QRandomGenerator rng(20261207);
    const char ops[] = {0x10, 0x11, 0x20, 0x21, 0x30, 0x31, 0x40};
    for (int round = 0; round < 40; ++round) {
        QByteArray input;
        const int n = rng.bounded(1, 200);
        for (int i = 0; i < n; ++i) {
            const bool garbage = rng.bounded(20) == 0;
            // Watches (mostly 4 ms long) and goodbyes are rarer than reads and writes.
            const char op =
                garbage ? char(rng.bounded(256)) : ops[rng.bounded(4 + (i % 16 == 0) * 3)];
            input += op;
            if ((op == 0x10 || op == 0x11 || op == 0x40) && !garbage)
                input += char(0);
            else if ((op == 0x30 || op == 0x31) && !garbage)
                input += QByteArray(1, char(rng.bounded(1, 3))) + char(rng.bounded(256));
            else
                input += char(rng.bounded(256));
        }
        const int status = run(input, out);
        QVERIFY2(status == 0 || status == porthelper::kExitBadRequest,
                 qPrintable(QStringLiteral("round %1 ended with %2").arg(round).arg(status)));
        QByteArray rest = fileBytes();
        QCOMPARE(rest.size(), kFresh.size());
        rest[0x300] = rest[0x301] = char(0xA5);
        QCOMPARE(rest, kFresh);
    }
}

void TstPortHelper::aMissingDeadOrSilentHelperFailsWithinItsWait() {
    QString why;
    QVERIFY(
        !PortHelperDevice::open(dir_.filePath(QStringLiteral("none")).toStdString(), 0x300, why));
    QVERIFY2(why.contains(QLatin1String("was not found")), qPrintable(why));

    const QString refuses = script("refuses", "echo 'no card here' >&2; exit 69");
    QVERIFY(!PortHelperDevice::open(refuses.toStdString(), 0x300, why));
    QCOMPARE(why, QStringLiteral("no card here"));

    // A helper that stops answering keeps the window waiting no longer than the bound, and is
    // not asked again; one that has died fails at once.
    for (const char* body : {"printf LTP1; exec sleep 30", "printf LTP1; exit 0"}) {
        auto dev = PortHelperDevice::open(script("helper", body).toStdString(), 0x300, why);
        QVERIFY2(dev, qPrintable(why));
        QElapsedTimer t;
        t.start();
        std::int16_t data = 0;
        QVERIFY(!dev->read(0, data));
        QVERIFY(!dev->write(1, 0));
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    }
}

void TstPortHelper::withoutItsCapabilityTheHelperSaysWhatToRun() {
    // Root gets every capability at exec unless its bounding set is empty; anyone else is kept
    // from a capability granted to the built helper by no-new-privileges.
    const QString withoutCaps = script(
        "nocaps", "if [ \"$(id -u)\" = 0 ]; then o=--bounding-set=-all; else o=--no-new-privs; fi\n"
                  "exec /usr/bin/setpriv $o " +
                      QByteArray::fromStdString(kHelper) + " \"$@\"");
    if (!QFile::exists(QStringLiteral("/usr/bin/setpriv")))
        QSKIP("setpriv (util-linux) is missing: cannot start the helper without capabilities");
    QString why;
    QVERIFY(!PortHelperDevice::probe(withoutCaps.toStdString(), 0x300, why));
    QVERIFY2(why.contains(QLatin1String("sudo setcap cap_sys_rawio+ep ")), qPrintable(why));
    QVERIFY(!PortHelperDevice::open(withoutCaps.toStdString(), 0x300, why));
    QVERIFY2(why.contains(QLatin1String("no raw port access")), qPrintable(why));
}

void TstPortHelper::theWindowDrivesTheCardThroughTheHelper() {
    DeviceSources sources;
    sources.standIns[isaBackend().name] = IsaStandIn{kHelper, path_};
    sources.standIns[comediBackend().name] = ComediStandIn{"/nonexistent", {}};
    DeviceSelectingCard tak(standardDeviceEntries(sources));
    LoopTest w(tak);
    {
        ModalAnswerer answerer;
        answerer.onDialog = [](QDialog* d) { QTest::keyClick(d, Qt::Key_Return); };
        w.Form_Load();
    }
    QVERIFY(!w.isEnded());
    QCOMPARE(tak.deviceName(), IsaCardEntry::cardName());

    w.relayBox(3)->click();
    QTRY_COMPARE(w.results().loops(), 1);
    w.relayBox(12)->click();
    QTRY_COMPARE(w.results().loops(), 2);
    QByteArray expected = kFresh;
    expected[0x300] = char(0x08);
    expected[0x301] = char(0x10);
    QCOMPARE(fileBytes(), expected);
    // The file reads back what was written, as the inputs' bytes.
    QCOMPARE(w.results().lastRead(0), 0x08);
    QCOMPARE(w.results().lastRead(1), 0x10);

    w.Command1_Click();
    QVERIFY(w.isEnded());
    expected[0x300] = expected[0x301] = 0;
    QCOMPARE(fileBytes(), expected);
}

// Another process changes the port's byte and notes when, on the same monotonic clock: the
// helper's watches see every change, in order, at its time, sampling far faster than they came.
void TstPortHelper::aWatchSeesChangesAtTheirTimes() {
    QString why;
    auto dev = PortHelperDevice::open(kHelper, 0x300, why, path_);
    QVERIFY2(dev, qPrintable(why));
    QProcess writer;
    writer.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import os, sys, time\n"
                                 "fd = os.open(sys.argv[1], os.O_WRONLY)\n"
                                 "time.sleep(0.05)\n"
                                 "for byte in (1, 3, 7):\n"
                                 "    before = time.monotonic_ns() // 1000\n"
                                 "    os.pwrite(fd, bytes([byte]), 0x300)\n"
                                 "    print(before, time.monotonic_ns() // 1000, flush=True)\n"
                                 "    time.sleep(0.01)\n"),
                  QString::fromStdString(path_)});
    QVERIFY(writer.waitForStarted());
    // A gap longer than the settle window ends a watch: the next one goes on from there.
    std::vector<PortDevice::Change> seen;
    double longestGapUs = 0;
    for (int watches = 0; watches < 10 && (seen.empty() || seen.back().byte != 7); ++watches) {
        PortDevice::Watch w;
        QVERIFY(dev->watch(0, seen.empty() ? 0xA5 : seen.back().byte, 1'000'000, w));
        seen.insert(seen.end(), w.changes.begin(), w.changes.end());
        longestGapUs = std::max(longestGapUs, w.longestGapUs);
        QVERIFY2(w.intervalUs > 0 && w.intervalUs < 100, qPrintable(QString::number(w.intervalUs)));
    }
    QVERIFY(writer.waitForFinished());
    const QStringList written =
        QString::fromUtf8(writer.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(seen.size(), 3u);
    QCOMPARE(written.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(int(seen[i].byte), (2 << i) - 1);
        // Seen between the writer's times around its write, or at most the longest gap between
        // two samples after it (a busy machine may keep the helper off its core for a while).
        const QStringList around = written[i].split(' ');
        QVERIFY2(seen[i].us >= around[0].toLongLong() &&
                     seen[i].us <= around[1].toLongLong() + std::int64_t(longestGapUs) + 1,
                 qPrintable(written[i] + QStringLiteral(": ") + QString::number(seen[i].us)));
    }
}

// A program that ends in order says goodbye and the relays stay as they are; one killed with
// SIGKILL says nothing, and the helper opens every relay before it ends.
void TstPortHelper::withoutItsGoodbyeTheHelperOpensEveryRelay() {
    for (bool killed : {false, true}) {
        QVERIFY(::truncate(path_.c_str(), 0) == 0 && ::truncate(path_.c_str(), 0x400) == 0);
        const pid_t program = ::fork();
        if (program == 0) {
            QString why;
            auto dev = PortHelperDevice::open(kHelper, 0x300, why, path_);
            const bool ok = dev && dev->write(0, 0x55) && dev->write(1, 0xAA);
            if (killed)
                ::pause(); // until the SIGKILL
            dev.reset();
            std::_Exit(ok ? 0 : 1);
        }
        QTRY_VERIFY(fileBytes().mid(0x300, 2) == QByteArray("\x55\xAA"));
        if (killed)
            ::kill(program, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(program, &status, 0), program);
        const QByteArray left = killed ? QByteArray(2, '\0') : QByteArray("\x55\xAA");
        QTRY_COMPARE(fileBytes().mid(0x300, 2), left);
    }
}

// Another program drives the card through its own helper: a second helper, at the card's base
// or one that shares a port with it, is refused with the holder named and touches nothing; the
// chooser shows the card held, by whom. Once the holder is killed with SIGKILL, the next start
// opens the card at once, after its helper opened every relay.
void TstPortHelper::oneCardOneProgram() {
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t program = ::fork();
    if (program == 0) {
        QString why;
        auto dev = PortHelperDevice::open(kHelper, 0x300, why, path_);
        const bool ok = dev && dev->write(0, 0x55) && dev->write(1, 0xAA);
        const char said = ok ? '1' : '0';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &said, 1);
        ::pause(); // until the SIGKILL
        std::_Exit(0);
    }
    ::close(ready[1]);
    char said = 0;
    QVERIFY(::read(ready[0], &said, 1) == 1 && said == '1');
    ::close(ready[0]);
    const QString holder = QStringLiteral("Another program is using this card: tst_porthelper "
                                          "(through its port helper) (pid %1, user ")
                               .arg(program);
    for (unsigned base : {0x300u, 0x2FFu, 0x301u}) {
        QString why;
        QVERIFY(!PortHelperDevice::open(kHelper, base, why, path_));
        QVERIFY2(why.startsWith(holder), qPrintable(why));
        QCOMPARE(fileBytes().mid(0x2FF, 4), QByteArray("\xA5\x55\xAA\xA5"));
    }
    QString why;
    QVERIFY2(PortHelperDevice::open(kHelper, 0x302, why, path_), qPrintable(why));
    QCOMPARE(fileBytes().mid(0x2FF, 4), QByteArray("\xA5\x55\xAA\xA5"));

    DeviceSources sources;
    sources.standIns[isaBackend().name] = IsaStandIn{kHelper, path_};
    sources.standIns[comediBackend().name] = ComediStandIn{"/nonexistent", {}};
    const auto entries = standardDeviceEntries(sources);
    QVERIFY(entries.front()->heldBy().startsWith(holder.mid(holder.indexOf(':') + 2)));
    QVERIFY(!entries.front()->probe(why) && why.startsWith(QLatin1String("Held by another")));
    DeviceChooser chooser(entries, nullptr, 0);
    const auto* list = chooser.findChild<QListWidget*>(QStringLiteral("devices"));
    QVERIFY(list->item(0)->text().contains(QStringLiteral("(held by tst_porthelper")));
    // Nothing held is preselected: the chooser goes to what can be opened now.
    QVERIFY(DeviceChooser(entries, nullptr)
                .findChild<QListWidget*>(QStringLiteral("devices"))
                ->currentRow() != 0);

    ::kill(program, SIGKILL);
    int status = 0;
    QCOMPARE(::waitpid(program, &status, 0), program);
    auto next = PortHelperDevice::open(kHelper, 0x300, why, path_);
    QVERIFY2(next, qPrintable(why));
    QCOMPARE(fileBytes().mid(0x300, 2), QByteArray(2, '\0'));
    QVERIFY(next->write(0, 0x01));
}

QTEST_MAIN(TstPortHelper)
#include "tst_porthelper.moc"
