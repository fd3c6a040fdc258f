#include "diagnosis/Reports.h"

#include "runlog/HtmlPage.h"
#include "runlog/JUnitReport.h"
#include "runlog/Wording.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

using Figures = ChannelDiagnosis::Figures;

QString ms(const std::optional<double>& v) {
    return v ? QString::number(*v, 'f', 2) : QStringLiteral("-");
}

QString triple(const Figures& f) {
    return f.min ? ms(f.min) + QLatin1Char('/') + ms(f.median) + QLatin1Char('/') + ms(f.max)
                 : QStringLiteral("-");
}

QString drives(const ChannelDiagnosis& c) {
    QStringList out;
    for (int i : c.drives)
        out << QString::number(i);
    return out.isEmpty() ? QStringLiteral("-") : out.join(QLatin1Char(','));
}

QJsonValue json(const std::optional<double>& v) {
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

QJsonValue json(const Figures& f) {
    if (!f.min)
        return QJsonValue(QJsonValue::Null);
    return QJsonObject{{QStringLiteral("min"), json(f.min)},
                       {QStringLiteral("median"), json(f.median)},
                       {QStringLiteral("max"), json(f.max)}};
}

QString verdict(const DiagnosisReport& r) {
    return verdictProperty(r.passed());
}

} // namespace

QString diagnosisTable(const DiagnosisReport& r) {
    QString out =
        QStringLiteral("Diagnosis of %1%5: each pattern, closing and opening %2 times; "
                       "read-back delay %3 ms\n"
                       "Times in ms, min/median/max, each good to the sampling "
                       "interval, %4 ms (the longest gap between samples %6 ms)\n")
            .arg(QString::fromStdString(r.device))
            .arg(r.settings.repeat)
            .arg(r.settings.readbackMs)
            .arg(r.resolutionMs, 0, 'f', 3)
            .arg(r.card.empty() ? QString()
                                : QStringLiteral(", card ") + QString::fromStdString(r.card))
            .arg(r.longestGapMs, 0, 'f', 3);
    out += QStringLiteral("relay  input  class         drives       operate              "
                          "release              bounce (bounces)\n");
    for (const ChannelDiagnosis& c : r.channels)
        out += QStringLiteral("%1  %2  %3 %4 %5 %6 %7 (%8)\n")
                   .arg(c.relay, 5)
                   .arg(c.input, 5)
                   .arg(QLatin1String(className(c.kind)), -13)
                   .arg(drives(c), -12)
                   .arg(triple(c.operate), -20)
                   .arg(triple(c.release), -20)
                   .arg(triple(c.bounce))
                   .arg(c.bounces);
    for (const ChannelDiagnosis& c : r.channels)
        if (c.kind != ChannelDiagnosis::Class::Ok)
            out += QStringLiteral("channel %1 (%2): %3\n")
                       .arg(c.relay)
                       .arg(QLatin1String(className(c.kind)), QString::fromStdString(c.words));
    if (!r.failure.empty())
        out += QStringLiteral("The diagnosis could not finish: %1\n")
                   .arg(QString::fromStdString(r.failure));
    return out + QStringLiteral("verdict: %1\n").arg(verdictWord(r.passed()));
}

QString channelFigures(const ChannelDiagnosis& c) {
    return QStringLiteral("drives %1; operate %2 ms; release %3 ms; bounce %4 ms (%5 bounces)")
        .arg(drives(c), triple(c.operate), triple(c.release), triple(c.bounce))
        .arg(c.bounces);
}

QString diagnosisJson(const DiagnosisReport& r) {
    QJsonArray map;
    for (const auto& row : r.map) {
        QJsonArray inputs;
        for (int followed : row)
            inputs << followed;
        map << inputs;
    }
    QJsonArray channels;
    for (const ChannelDiagnosis& c : r.channels) {
        QJsonArray driven;
        for (int i : c.drives)
            driven << i;
        channels << QJsonObject{
            {QStringLiteral("relay"), c.relay},
            {QStringLiteral("input"), c.input},
            {QStringLiteral("class"), QLatin1String(className(c.kind))},
            {QStringLiteral("drives"), driven},
            {QStringLiteral("operate_ms"), json(c.operate)},
            {QStringLiteral("release_ms"), json(c.release)},
            {QStringLiteral("bounce_ms"), json(c.bounce)},
            {QStringLiteral("bounces"), c.bounces},
            {QStringLiteral("needs_readback_ms"), c.needsMs},
            {QStringLiteral("words"), QString::fromStdString(c.words)},
        };
    }
    QJsonObject top{
        {QStringLiteral("device"), QString::fromStdString(r.device)},
        {QStringLiteral("resolution_ms"), r.resolutionMs},
        {QStringLiteral("longest_gap_ms"), r.longestGapMs},
        {QStringLiteral("verdict"), verdict(r)},
        {QStringLiteral("map"), map},
        {QStringLiteral("channels"), channels},
        {QStringLiteral("repeat"), r.settings.repeat},
        {QStringLiteral("readback_ms"), r.settings.readbackMs},
        {QStringLiteral("card"), QString::fromStdString(r.card)},
    };
    if (!r.failure.empty())
        top.insert(QStringLiteral("failure"), QString::fromStdString(r.failure));
    return QString::fromUtf8(QJsonDocument(top).toJson());
}

bool writeDiagnosisJUnit(const QString& path, const DiagnosisReport& r, QString& why) {
    const auto failures = std::count_if(r.channels.begin(), r.channels.end(), [](const auto& c) {
        return c.kind != ChannelDiagnosis::Class::Ok;
    });
    JUnitReport report;
    if (!report.open(path, QStringLiteral("looptest diagnosis"), 16, failures, std::nullopt, why))
        return false;
    report.properties({{QStringLiteral("device"), QString::fromStdString(r.device)},
                       {QStringLiteral("card"), QString::fromStdString(r.card)},
                       {QStringLiteral("repeat"), QString::number(r.settings.repeat)},
                       {QStringLiteral("readback_ms"), QString::number(r.settings.readbackMs)},
                       {QStringLiteral("resolution_ms"), QString::number(r.resolutionMs, 'f', 3)},
                       {QStringLiteral("verdict"), verdict(r)}});
    for (const ChannelDiagnosis& c : r.channels) {
        report.startCase(QStringLiteral("looptest.diagnosis"),
                         QStringLiteral("relay %1 -> input %2").arg(c.relay).arg(c.input));
        JUnitReport::Properties figures{{QStringLiteral("class"), QLatin1String(className(c.kind))},
                                        {QStringLiteral("drives"), drives(c)},
                                        {QStringLiteral("bounces"), QString::number(c.bounces)}};
        for (const auto& [name, f] :
             {std::pair{"operate", &c.operate}, {"release", &c.release}, {"bounce", &c.bounce}})
            figures.push_back({QStringLiteral("%1_ms").arg(QLatin1String(name)), triple(*f)});
        report.properties(figures);
        if (c.kind != ChannelDiagnosis::Class::Ok)
            report.failure(QStringLiteral("%1: %2").arg(QLatin1String(className(c.kind)),
                                                        QString::fromStdString(c.words)),
                           QString::fromStdString(c.words));
        report.endCase();
    }
    return report.commit(why);
}

namespace {

// The map: a row per relay, a column per input; the expected input of each relay is outlined,
// a deviation coloured: red where the expected input did not follow, orange where another did.
QString mapSvg(const DiagnosisReport& r) {
    constexpr int kCell = 24, kLeft = 60, kTop = 40;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" role=\"img\" aria-label=\"Which inputs follow "
                                 "which relay\">\n")
                      .arg(kLeft + 16 * kCell + 20)
                      .arg(kTop + 16 * kCell + 20);
    for (int i = 0; i < 16; ++i)
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"11\" text-anchor=\"middle\">"
                              "P%3</text>\n")
                   .arg(kLeft + i * kCell + kCell / 2)
                   .arg(kTop - 8)
                   .arg(i);
    for (int relay = 0; relay < 16; ++relay) {
        const int y = kTop + relay * kCell;
        svg += QStringLiteral("<text x=\"4\" y=\"%1\" font-size=\"11\">R%2</text>\n")
                   .arg(y + 16)
                   .arg(relay);
        for (int i = 0; i < 16; ++i) {
            const bool expected = i == 15 - relay;
            const bool followed = r.map[relay][i] != 0;
            const char* fill = followed && expected ? "#2ca02c"
                               : followed           ? "#ff7f0e"
                               : expected           ? "#f4b4b4"
                                                    : "#f4f4f4";
            svg +=
                QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%3\" fill=\"%4\" "
                               "stroke=\"%5\" stroke-width=\"%6\"><title>relay %7, input %8: "
                               "%9</title></rect>\n")
                    .arg(kLeft + i * kCell + 1)
                    .arg(y + 1)
                    .arg(kCell - 2)
                    .arg(QLatin1String(fill))
                    .arg(expected ? QStringLiteral("#222") : QStringLiteral("#ddd"))
                    .arg(expected ? 2 : 1)
                    .arg(relay)
                    .arg(i)
                    .arg(followed ? QStringLiteral("follows") : QStringLiteral("does not follow"));
        }
    }
    return svg + QStringLiteral("</svg>\n");
}

const char* const kTimeColours[] = {"#1f77b4", "#9467bd", "#d62728"};

// A strip per relay: its operate, release and bounce times on one scale.
QString timesSvg(const DiagnosisReport& r) {
    double longest = 1;
    for (const ChannelDiagnosis& c : r.channels)
        for (const Figures* f : {&c.operate, &c.release, &c.bounce})
            longest = std::max(longest, f->max.value_or(0));
    constexpr int kWidth = 480, kRow = 18, kStripLeft = 90;
    QString strips =
        QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                       "height=\"%2\" role=\"img\" aria-label=\"Each relay's times\">\n")
            .arg(kStripLeft + kWidth + 20)
            .arg(16 * 3 * kRow / 2 + 40);
    for (int relay = 0; relay < 16; ++relay) {
        const ChannelDiagnosis& c = r.channels[relay];
        const int y = 10 + relay * 3 * kRow / 2;
        strips += QStringLiteral("<text x=\"4\" y=\"%1\" font-size=\"11\">R%2 %3</text>\n")
                      .arg(y + 12)
                      .arg(relay)
                      .arg(QLatin1String(className(c.kind)));
        int lane = 0;
        for (const Figures* f : {&c.operate, &c.release, &c.bounce}) {
            const int ly = y + lane * 6;
            if (f->min) {
                const double x0 = kStripLeft + *f->min / longest * kWidth;
                const double x1 = kStripLeft + *f->max / longest * kWidth;
                strips += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"5\" "
                                         "fill=\"%4\"/>\n")
                              .arg(x0, 0, 'f', 1)
                              .arg(ly)
                              .arg(std::max(2.0, x1 - x0), 0, 'f', 1)
                              .arg(QLatin1String(kTimeColours[lane]));
            }
            ++lane;
        }
    }
    return strips + QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"11\">0 ms</text>"
                                   "<text x=\"%3\" y=\"%2\" font-size=\"11\" "
                                   "text-anchor=\"end\">%4 ms</text>\n</svg>\n")
                        .arg(kStripLeft)
                        .arg(16 * 3 * kRow / 2 + 30)
                        .arg(kStripLeft + kWidth)
                        .arg(longest, 0, 'f', 2);
}

QString channelsTable(const DiagnosisReport& r) {
    QList<QStringList> rows;
    for (const ChannelDiagnosis& c : r.channels)
        rows << QStringList{QString::number(c.relay),
                            QString::number(c.input),
                            QLatin1String(className(c.kind)),
                            drives(c),
                            triple(c.operate),
                            triple(c.release),
                            triple(c.bounce),
                            QString::number(c.bounces),
                            QString::fromStdString(c.words)};
    return htmlTable(QStringLiteral("Each channel: times in ms, min/median/max"),
                     {QStringLiteral("relay"), QStringLiteral("input"), QStringLiteral("class"),
                      QStringLiteral("drives"), QStringLiteral("operate"),
                      QStringLiteral("release"), QStringLiteral("bounce"),
                      QStringLiteral("bounces"), QStringLiteral("words")},
                     rows);
}

} // namespace

QString diagnosisHtml(const DiagnosisReport& r) {
    const QString keys = htmlKey("#2ca02c", QStringLiteral("follows, as wired")) +
                         htmlKey("#f4b4b4", QStringLiteral("should follow, does not")) +
                         htmlKey("#ff7f0e", QStringLiteral("follows, should not"));
    const QString timeKeys = htmlKey(kTimeColours[0], QStringLiteral("operate")) +
                             htmlKey(kTimeColours[1], QStringLiteral("release")) +
                             htmlKey(kTimeColours[2], QStringLiteral("bounce"));
    QString notes;
    if (!r.failure.empty())
        notes = QStringLiteral("<p>The diagnosis could not finish: %1</p>\n")
                    .arg(QString::fromStdString(r.failure).toHtmlEscaped());
    const QString body =
        QStringLiteral("<p>Verdict: %1</p>\n%2<h2>Which inputs follow which relay</h2>\n"
                       "<p>%3 Outlined: each relay's own input.</p>\n%4"
                       "<h2>Each relay's times</h2>\n<p>%5 min to max over the closings; every "
                       "time good to %6 ms.</p>\n%7<h2>Channels</h2>\n%8")
            .arg(verdictWord(r.passed()), notes, keys, mapSvg(r), timeKeys,
                 QString::number(r.resolutionMs, 'f', 3), timesSvg(r), channelsTable(r));
    return htmlPage(QStringLiteral("looptest diagnosis of ") + QString::fromStdString(r.device),
                    body);
}
