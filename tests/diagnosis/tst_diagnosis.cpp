// The diagnosis on the simulator, on a clock the test owns (a wait moves it at once): every
// class with its map and words, and each relay's times within the resolution of what was set.
#include "card/DeviceSpec.h"
#include "card/simulator/SimulatorBackend.h"
#include "diagnosis/Diagnosis.h"
#include "diagnosis/Reports.h"
#include "support/JUnitReader.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

DiagnosisReport diagnoseSimulated(const std::string& spec) {
    DeviceSpec d;
    std::string why;
    if (!parseDeviceSpec(spec, d, why))
        qFatal("%s", why.c_str());
    auto now = std::make_shared<std::int64_t>(1'000'000);
    SimulatorFault fault = *d.settingsOf<SimulatorFault>(simulatorBackend());
    fault.seed = 20261208; // an intermittent contact that fails now and then, every run alike
    LoopbackSimulator card(
        fault, [now] { return *now; }, [now](std::int64_t until) { *now = std::max(*now, until); });
    DiagnosisReport r = diagnose(card, {});
    r.device = spec;
    return r;
}

} // namespace

class TstDiagnosis : public QObject {
    Q_OBJECT
private slots:
    void everyClassWithItsMapAndWords();
    void timesWithinTheResolutionOfWhatWasSet();
};

void TstDiagnosis::everyClassWithItsMapAndWords() {
    const DiagnosisReport r =
        diagnoseSimulated("sim:swap=2,7+slow=3,30+short=4,9+input-stuck-active=1+"
                          "relay-never-closes=11+intermittent=6,50");
    QVERIFY2(r.failure.empty(), r.failure.c_str());
    QStringList classes;
    for (const ChannelDiagnosis& c : r.channels)
        classes << QString::fromLatin1(className(c.kind));
    QCOMPARE(classes.join(' '), QStringLiteral("ok ok miswired slow short ok intermittent miswired "
                                               "ok short ok open ok ok stuck-active ok"));
    auto words = [&](int relay) { return QString::fromStdString(r.channels[relay].words); };
    QCOMPARE(words(2), QStringLiteral("relay 2 drives input 8, expected 13: the wires of channels "
                                      "2 and 7 are swapped"));
    QVERIFY2(words(4).contains(QLatin1String("drives inputs 6 and 11")) &&
                 words(4).contains(QLatin1String("bridged to channel 9")),
             qPrintable(words(4)));
    QVERIFY2(words(3).contains(QLatin1String("needs at least 30 ms")), qPrintable(words(3)));
    QVERIFY2(words(11).contains(QLatin1String("input 4 never followed relay 11")),
             qPrintable(words(11)));
    // The map: the expected diagonal but where the wiring departs from it.
    for (int relay = 0; relay < 16; ++relay) {
        std::vector<int> expected{15 - relay};
        if (relay == 2 || relay == 7)
            expected = {relay == 2 ? 8 : 13};
        if (relay == 4 || relay == 9)
            expected = {6, 11};
        if (relay == 11 || relay == 14)
            expected = {};
        for (int i = 0; i < 16; ++i)
            QVERIFY2(r.map[relay][i] ==
                         (std::find(expected.begin(), expected.end(), i) != expected.end()),
                     qPrintable(QStringLiteral("relay %1, input %2").arg(relay).arg(i)));
    }
    QVERIFY(!r.passed());
    const QJsonObject json = QJsonDocument::fromJson(diagnosisJson(r).toUtf8()).object();
    QCOMPARE(json.value(QStringLiteral("verdict")).toString(), QStringLiteral("fail"));
    // The JUnit report as a CI server reads it: a failed case per channel that is not ok.
    QTemporaryDir dir;
    const QString junit = dir.filePath(QStringLiteral("d.xml"));
    QString why;
    QVERIFY2(writeDiagnosisJUnit(junit, r, why), qPrintable(why));
    const QStringList read = readJUnit(junit, why).split(QLatin1Char('\n'));
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(read.size(), 9);
    QCOMPARE(read[0], QStringLiteral("looptest diagnosis 16 8"));
    QCOMPARE(read[1], QStringLiteral("relay 2 -> input 13 miswired: ") + words(2));
    QVERIFY2(read[8].startsWith(QLatin1String("relay 14 -> input 1 stuck-active: ")),
             qPrintable(read[8]));

    QVERIFY(diagnoseSimulated("sim").passed());
}

void TstDiagnosis::timesWithinTheResolutionOfWhatWasSet() {
    const DiagnosisReport r =
        diagnoseSimulated("sim:slow=3,30+bounce=12,3,operate-ms=1,release-ms=2");
    QCOMPARE(r.resolutionMs, 0.01);
    auto near = [&](const std::optional<double>& got, double want) {
        return got && std::abs(*got - want) <= r.resolutionMs + 1e-9;
    };
    for (const ChannelDiagnosis& c : r.channels) {
        const double operate = c.relay == 3 ? 30 : 1;
        const double bounce = c.relay == 12 ? 3 : 0;
        for (const auto* f : {&c.operate.min, &c.operate.median, &c.operate.max})
            QVERIFY2(near(*f, operate), qPrintable(QString::number(c.relay)));
        QVERIFY(near(c.release.median, 2) && near(c.bounce.max, bounce));
        QCOMPARE(c.bounces, c.relay == 12 ? 3 : 0);
    }
    QCOMPARE(QString::fromLatin1(className(r.channels[3].kind)), QStringLiteral("slow"));
    QCOMPARE(QString::fromLatin1(className(r.channels[12].kind)), QStringLiteral("ok"));
}

QTEST_GUILESS_MAIN(TstDiagnosis)
#include "tst_diagnosis.moc"
