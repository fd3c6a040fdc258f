// The diagnosis on the simulator, on a clock the test owns (a wait moves it at once): every
// class with its map and words, and each relay's times within the resolution of what was set.
#include "card/DeviceSpec.h"
#include "card/simulator/SimulatorBackend.h"
#include "diagnosis/Diagnosis.h"
#include "diagnosis/Reports.h"
#include "support/JUnitReader.h"
#include "support/ScriptedContacts.h"

#include <QFile>
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
    void slowCombinedAndLookAlikeFaults_data();
    void slowCombinedAndLookAlikeFaults();
    void timesThatVaryAndEvenBounces();
    void theDocsGiveTheClassesAsTheCodeWeighsThem();
    void figuresFromContactsThatDoAsScripted();
    void aCoarseWatchDoesNotMakeAQuickRelaySlow();
    void stuckActiveOnlyWhenEveryReadOfAllOpenSaysSo();
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

void TstDiagnosis::slowCombinedAndLookAlikeFaults_data() {
    QTest::addColumn<QString>("spec");
    QTest::addColumn<QString>("classes");   // channel 0 to 15
    QTest::addColumn<QStringList>("words"); // "channel: words it holds"
    const QString ok = QStringLiteral("ok ");
    auto classes = [&](std::map<int, const char*> odd) {
        QString out;
        for (int c = 0; c < 16; ++c)
            out += (odd.count(c) ? QString::fromLatin1(odd[c]) + QLatin1Char(' ') : ok);
        return out.trimmed();
    };
    QTest::newRow("slow beyond the usual watch")
        << "sim:slow=3,300" << classes({{3, "slow"}})
        << QStringList{"3:the read-back delay needs at least 300 ms"};
    QTest::newRow("slow past every read-back delay")
        << "sim:slow=3,700" << classes({{3, "slow"}})
        << QStringList{"3:no read-back delay of the program suffices"};
    QTest::newRow("swapped and slow")
        << "sim:swap=2,7+slow=2,30" << classes({{2, "miswired"}, {7, "miswired"}})
        << QStringList{"2:the wires of channels 2 and 7 are swapped; also slow",
                       "2:needs at least 30 ms", "7:the wires of channels 2 and 7 are swapped"};
    QTest::newRow("bridged and slow")
        << "sim:short=4,6+slow=4,40" << classes({{4, "short"}, {6, "short"}})
        << QStringList{"4:bridged to channel 6; also slow", "6:bridged to channel 4"};
    QTest::newRow("swapped and intermittent")
        << "sim:swap=2,7+intermittent=2,50" << classes({{2, "miswired"}, {7, "miswired"}})
        << QStringList{"2:are swapped; also it answered differently between repeats",
                       "7:the wires of channels 2 and 7 are swapped"};
    QTest::newRow("stuck and a relay that never closes")
        << "sim:input-stuck-active=5+relay-never-closes=3"
        << classes({{3, "open"}, {10, "stuck-active"}})
        << QStringList{"10:input 5 is stuck active, or relay 10's contact is welded shut",
                       "3:relay 3 does not close", "3:or input 12 is dead", "3:within 1000 ms"};
    QTest::newRow("miswired one way, slow now and then")
        << "sim:miswire=7,2+jitter=7,20" << classes({{7, "miswired"}})
        << QStringList{"7:the wire of channel 7 goes to input 2; also slow"};
    QTest::newRow("miswired one way to a bridged input")
        << "sim:miswire=1,9+short=6,9" << classes({{1, "miswired"}, {6, "short"}, {9, "short"}})
        << QStringList{
               "1:relay 1 drives input 9, expected 14: the wire of channel 1 goes to input 9"};
    QString dead = QStringLiteral("sim:relay-never-closes=0");
    for (int r = 1; r < 16; ++r)
        dead += QStringLiteral("+relay-never-closes=%1").arg(r);
    QTest::newRow("dead") << dead << QStringLiteral("open ").repeated(16).trimmed()
                          << QStringList{"15:input 0 never followed relay 15"};
}

// Each simulated card, single faults and combinations: every channel's class, and the words a
// technician acts on.
void TstDiagnosis::slowCombinedAndLookAlikeFaults() {
    QFETCH(QString, spec);
    QFETCH(QString, classes);
    QFETCH(QStringList, words);
    const DiagnosisReport r = diagnoseSimulated(spec.toStdString());
    QVERIFY2(r.failure.empty(), r.failure.c_str());
    QStringList got;
    for (const ChannelDiagnosis& c : r.channels)
        got << QString::fromLatin1(className(c.kind));
    QCOMPARE(got.join(QLatin1Char(' ')), classes);
    for (const QString& w : words) {
        const int channel = w.section(QLatin1Char(':'), 0, 0).toInt();
        const QString said = QString::fromStdString(r.channels[channel].words);
        QVERIFY2(said.contains(w.section(QLatin1Char(':'), 1)),
                 qPrintable(QStringLiteral("channel %1: %2").arg(channel).arg(said)));
    }
}

// An operate time that differs between closings, and a contact that bounces twice: the figures
// span what the card did, and the bounces are counted as they came.
void TstDiagnosis::timesThatVaryAndEvenBounces() {
    DeviceSpec d;
    std::string why;
    QVERIFY(parseDeviceSpec("sim:jitter=5,20+bounce=9,6+bounces=9,2", d, why));
    auto now = std::make_shared<std::int64_t>(1'000'000);
    SimulatorFault fault = *d.settingsOf<SimulatorFault>(simulatorBackend());
    fault.seed = 7;
    LoopbackSimulator card(
        fault, [now] { return *now; }, [now](std::int64_t until) { *now = std::max(*now, until); });
    DiagnosisSettings settings;
    settings.repeat = 9;
    const DiagnosisReport r = diagnose(card, settings);
    const ChannelDiagnosis& jittery = r.channels[5];
    QVERIFY(jittery.operate.min && jittery.operate.max && jittery.operate.median);
    QVERIFY2(*jittery.operate.max - *jittery.operate.min > 5, qPrintable(channelFigures(jittery)));
    QVERIFY(*jittery.operate.min >= 0 && *jittery.operate.max <= 20 + r.resolutionMs);
    // Nine closings drawn anew: no two alike, so the median lies strictly between.
    QVERIFY(*jittery.operate.min < *jittery.operate.median &&
            *jittery.operate.median < *jittery.operate.max);
    QCOMPARE(jittery.needsMs, int(std::ceil(*jittery.operate.max + *jittery.bounce.max)));
    const ChannelDiagnosis& bouncy = r.channels[9];
    QCOMPARE(bouncy.bounces, 2);
    QVERIFY(std::abs(*bouncy.bounce.max - 6) <= r.resolutionMs); // it settles at 6 ms
    QCOMPARE(QString::fromLatin1(className(bouncy.kind)), QStringLiteral("slow"));
}

// Closings that differ, repeat by repeat, as the simulator's never do: a median over an even
// number of repeats lies between the middle two; a closing that ends open has bounced as often
// as it closed again; and every pattern of the map is read no sooner than the read-back delay
// after its write, however quick the relays it moved.
void TstDiagnosis::figuresFromContactsThatDoAsScripted() {
    ScriptedContacts card;
    card.relays[2].operateUs = {2000, 8000, 4000, 6000};
    card.relays[6].changes = {5};    // two bounces, then it stays closed
    card.relays[7].changes = {3, 6}; // one bounce; then two more, and it ends open
    DiagnosisSettings settings;
    settings.repeat = 4;
    settings.readbackMs = 20;
    const DiagnosisReport r = diagnose(card, settings);
    QVERIFY2(r.failure.empty(), r.failure.c_str());
    const ChannelDiagnosis& c = r.channels[2];
    QVERIFY(c.operate.min && c.operate.median && c.operate.max);
    const double gap = double(card.gapUs) / 1000.0;
    QVERIFY2(*c.operate.min >= 2 && *c.operate.min <= 2 + gap, qPrintable(channelFigures(c)));
    QVERIFY2(*c.operate.median >= 5 && *c.operate.median <= 5 + gap, qPrintable(channelFigures(c)));
    QVERIFY2(*c.operate.max >= 8 && *c.operate.max <= 8 + gap, qPrintable(channelFigures(c)));
    QCOMPARE(r.channels[6].bounces, 2);
    QCOMPARE(r.channels[7].bounces, 2);
    QCOMPARE(r.channels[0].bounces, 0);
    QVERIFY(!card.waits.empty());
    QVERIFY2(*std::min_element(card.waits.begin(), card.waits.end()) >= 20000,
             qPrintable(QString::number(*std::min_element(card.waits.begin(), card.waits.end()))));
}

// A device that samples only every 7 ms sees a relay of 1 ms at 7 ms, and one whose writes
// take 12 ms (a module on a busy machine) sees it at 12 ms: that shows nothing against a 5 ms
// read-back delay. A relay of 20 ms is slow however it is sampled.
void TstDiagnosis::aCoarseWatchDoesNotMakeAQuickRelaySlow() {
    for (const auto& [gapUs, writeUs] : {std::pair{7000, 0}, std::pair{50, 12000}}) {
        ScriptedContacts card;
        card.gapUs = gapUs;
        card.writeUs = writeUs;
        card.relays[12].operateUs = {writeUs + 20000};
        const DiagnosisReport r = diagnose(card, {});
        QVERIFY2(r.failure.empty(), r.failure.c_str());
        QCOMPARE(r.longestGapMs, gapUs / 1000.0);
        for (const ChannelDiagnosis& c : r.channels) {
            QVERIFY2(c.needsMs >= 7, qPrintable(channelFigures(c)));
            QCOMPARE(QString::fromLatin1(className(c.kind)),
                     c.relay == 12 ? QStringLiteral("slow") : QStringLiteral("ok"));
        }
        QVERIFY2(r.channels[12].leastMs >= 14, qPrintable(channelFigures(r.channels[12])));
    }
}

// Input 4 (relay 11's) is active in every read with all relays open: stuck active. Input 5
// (relay 10's) is active in every other such read only: not stuck, whatever else it is.
void TstDiagnosis::stuckActiveOnlyWhenEveryReadOfAllOpenSaysSo() {
    ScriptedContacts card;
    card.activeWhileAllOpen = [](int n) { return 1 << 4 | (n % 2 ? 1 << 5 : 0); };
    const DiagnosisReport r = diagnose(card, {});
    QVERIFY2(r.failure.empty(), r.failure.c_str());
    QCOMPARE(QString::fromLatin1(className(r.channels[11].kind)), QStringLiteral("stuck-active"));
    QVERIFY2(r.channels[10].kind != ChannelDiagnosis::Class::StuckActive,
             r.channels[10].words.c_str());
    QCOMPARE(QString::fromLatin1(className(r.channels[0].kind)), QStringLiteral("ok"));
}

// docs/diagnosis.md gives the classes in the order they are weighed, each with what the card
// does and what to check, as the table the diagnosis classes by.
void TstDiagnosis::theDocsGiveTheClassesAsTheCodeWeighsThem() {
    QFile file(QStringLiteral(LOOPTEST_SOURCE "/docs/diagnosis.md"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString docs = QString::fromUtf8(file.readAll());
    // The rows of a section's table.
    auto rowsOf = [&](const QString& section) {
        QStringList rows;
        bool in = false;
        for (const QString& line : docs.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("## ")))
                in = line == section;
            else if (in && line.startsWith(QLatin1String("| `")))
                rows << line;
        }
        return rows;
    };
    const QStringList rows = rowsOf(QStringLiteral("## The classes"));
    QStringList want;
    for (const ClassInfo& c : diagnosisClasses())
        want << QStringLiteral("| `%1` | %2 | %3 |")
                    .arg(QLatin1String(c.name), QLatin1String(c.does), QLatin1String(c.check));
    QCOMPARE(rows, want);
    QVERIFY(docs.contains(QLatin1String("weighed in the order of this table")));
}

QTEST_GUILESS_MAIN(TstDiagnosis)
#include "tst_diagnosis.moc"
