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

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The figures of a channel that are not within their limits.
QStringList outside(const ChannelDiagnosis& c, Verdict at) {
    QStringList out;
    for (const Measurement& m : c.measured)
        if (m.verdict == at)
            out << qs(m.words());
    return out;
}

QJsonObject limitsJson(const Limits& l) {
    QJsonObject o;
    for (const Limits::Key& k : Limits::keys())
        o.insert(QLatin1String(k.name), l.*(k.value));
    o.insert(QStringLiteral("source"), qs(l.source));
    return o;
}

} // namespace

// What the figures were judged by, in one line.
QString limitsLine(const Limits& l) {
    return QStringLiteral("Limits (%1): operate %2 ms, release %3 ms, bounce %4 ms, %5 bounces; "
                          "marginal past %6% of a limit")
        .arg(l.source.empty() ? QStringLiteral("the defaults") : qs(l.source))
        .arg(l.operateMs)
        .arg(l.releaseMs)
        .arg(l.bounceMs)
        .arg(l.bounces)
        .arg(l.marginal * 100);
}

int countFigures(const DiagnosisReport& r, Verdict at) {
    int n = 0;
    for (const ChannelDiagnosis& c : r.channels)
        n += static_cast<int>(outside(c, at).size());
    return n;
}

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
    out += limitsLine(r.settings.limits) + QLatin1Char('\n');
    out += QStringLiteral("relay  input  class         drives       operate              "
                          "release              bounce (bounces)         judged\n");
    for (const ChannelDiagnosis& c : r.channels)
        out += QStringLiteral("%1  %2  %3 %4 %5 %6 %7 %8\n")
                   .arg(c.relay, 5)
                   .arg(c.input, 5)
                   .arg(QLatin1String(className(c.kind)), -13)
                   .arg(drives(c), -12)
                   .arg(triple(c.operate), -20)
                   .arg(triple(c.release), -20)
                   .arg(triple(c.bounce) + QStringLiteral(" (%1)").arg(c.bounces), -24)
                   .arg(QLatin1String(verdictName(c.judged)));
    for (const ChannelDiagnosis& c : r.channels)
        if (c.kind != ChannelDiagnosis::Class::Ok)
            out += QStringLiteral("channel %1 (%2): %3\n")
                       .arg(c.relay)
                       .arg(QLatin1String(className(c.kind)), QString::fromStdString(c.words));
    for (const Verdict at : {Verdict::Fail, Verdict::Marginal})
        for (const ChannelDiagnosis& c : r.channels)
            for (const QString& words : outside(c, at))
                out += QStringLiteral("relay %1: %2\n").arg(c.relay).arg(words);
    if (!r.failure.empty())
        out += QStringLiteral("The diagnosis could not finish: %1\n")
                   .arg(QString::fromStdString(r.failure));
    const int marginal = countFigures(r, Verdict::Marginal);
    return out + QStringLiteral("verdict: %1%2\n")
                     .arg(verdictWord(r.passed()), marginal == 0
                                                       ? QString()
                                                       : QStringLiteral(" (%1 figure%2 marginal)")
                                                             .arg(marginal)
                                                             .arg(marginal == 1 ? "" : "s"));
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
        QJsonArray measurements;
        for (const Measurement& m : c.measured)
            measurements << QJsonObject{
                {QStringLiteral("name"), qs(m.name)},
                {QStringLiteral("of"), qs(m.of)},
                {QStringLiteral("value"), m.value},
                {QStringLiteral("unit"), qs(m.unit)},
                {QStringLiteral("limit"), m.limit},
                {QStringLiteral("verdict"), QLatin1String(verdictName(m.verdict))}};
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
            {QStringLiteral("measurements"), measurements},
            {QStringLiteral("verdict"), QLatin1String(verdictName(c.judged))},
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
        {QStringLiteral("operator"), qs(r.operatorName)},
        {QStringLiteral("host"), qs(r.host)},
        {QStringLiteral("limits"), limitsJson(r.settings.limits)},
    };
    if (!r.failure.empty())
        top.insert(QStringLiteral("failure"), QString::fromStdString(r.failure));
    return QString::fromUtf8(QJsonDocument(top).toJson());
}

bool writeDiagnosisJUnit(const QString& path, const DiagnosisReport& r, QString& why) {
    const auto failures = std::count_if(r.channels.begin(), r.channels.end(), [](const auto& c) {
        return c.kind != ChannelDiagnosis::Class::Ok || c.judged == Verdict::Fail;
    });
    JUnitReport report;
    if (!report.open(path, QStringLiteral("looptest diagnosis"), 16, failures, std::nullopt, why))
        return false;
    report.properties({{QStringLiteral("device"), QString::fromStdString(r.device)},
                       {QStringLiteral("card"), QString::fromStdString(r.card)},
                       {QStringLiteral("repeat"), QString::number(r.settings.repeat)},
                       {QStringLiteral("readback_ms"), QString::number(r.settings.readbackMs)},
                       {QStringLiteral("resolution_ms"), QString::number(r.resolutionMs, 'f', 3)},
                       {QStringLiteral("operator"), qs(r.operatorName)},
                       {QStringLiteral("host"), qs(r.host)},
                       {QStringLiteral("limits"), limitsLine(r.settings.limits)},
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
        // Each figure judged: its value, unit, limit and verdict.
        for (const Measurement& m : c.measured) {
            const QString key = qs(m.name + "_" + m.of);
            figures.push_back({key, QString::number(m.value, 'f', m.unit == "ms" ? 2 : 0)});
            figures.push_back({key + QStringLiteral("_unit"), qs(m.unit)});
            figures.push_back({key + QStringLiteral("_limit"), QString::number(m.limit)});
            figures.push_back(
                {key + QStringLiteral("_verdict"), QLatin1String(verdictName(m.verdict))});
        }
        figures.push_back({QStringLiteral("judged"), QLatin1String(verdictName(c.judged))});
        report.properties(figures);
        const QStringList past = outside(c, Verdict::Fail);
        if (c.kind != ChannelDiagnosis::Class::Ok)
            report.failure(QStringLiteral("%1: %2").arg(QLatin1String(className(c.kind)),
                                                        QString::fromStdString(c.words)),
                           QString::fromStdString(c.words));
        else if (!past.isEmpty())
            report.failure(past.join(QStringLiteral("; ")), past.join(QLatin1Char('\n')));
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
    const Limits& l = r.settings.limits;
    const double limits[] = {l.operateMs, l.releaseMs, l.bounceMs};
    double longest = std::max({1.0, limits[0], limits[1], limits[2]}) * 1.1;
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
                // Past its limit: outlined in black, thick, with the figure's words.
                const bool past = *f->max > limits[lane];
                strips += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"5\" "
                                         "fill=\"%4\"%5>%6</rect>\n")
                              .arg(x0, 0, 'f', 1)
                              .arg(ly)
                              .arg(std::max(2.0, x1 - x0), 0, 'f', 1)
                              .arg(QLatin1String(kTimeColours[lane]),
                                   past ? QStringLiteral(" stroke=\"#000\" stroke-width=\"2\" "
                                                         "class=\"past-limit\"")
                                        : QString(),
                                   past ? QStringLiteral("<title>past its limit of %1 ms</title>")
                                              .arg(limits[lane])
                                        : QString());
            }
            ++lane;
        }
    }
    // Each limit, a dashed line across every strip in its figure's colour.
    for (int lane = 0; lane < 3; ++lane) {
        const double x = kStripLeft + limits[lane] / longest * kWidth;
        strips += QStringLiteral("<line x1=\"%1\" y1=\"6\" x2=\"%1\" y2=\"%2\" stroke=\"%3\" "
                                 "stroke-dasharray=\"4 3\" class=\"limit\"><title>%4 limit %5 "
                                 "ms</title></line>\n")
                      .arg(x, 0, 'f', 1)
                      .arg(16 * 3 * kRow / 2 + 16)
                      .arg(QLatin1String(kTimeColours[lane]))
                      .arg(QLatin1String(lane == 0   ? "operate"
                                         : lane == 1 ? "release"
                                                     : "bounce"))
                      .arg(limits[lane]);
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
        rows << QStringList{
            QString::number(c.relay),
            QString::number(c.input),
            QLatin1String(className(c.kind)),
            drives(c),
            triple(c.operate),
            triple(c.release),
            triple(c.bounce),
            QString::number(c.bounces),
            QString::fromStdString(c.words),
            QLatin1String(verdictName(c.judged)),
            (outside(c, Verdict::Fail) + outside(c, Verdict::Marginal)).join(QStringLiteral("; "))};
    return htmlTable(QStringLiteral("Each channel: times in ms, min/median/max"),
                     {QStringLiteral("relay"), QStringLiteral("input"), QStringLiteral("class"),
                      QStringLiteral("drives"), QStringLiteral("operate"),
                      QStringLiteral("release"), QStringLiteral("bounce"),
                      QStringLiteral("bounces"), QStringLiteral("words"), QStringLiteral("judged"),
                      QStringLiteral("figures past or near a limit")},
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
                       "time good to %6 ms. Dashed: each figure's limit; outlined in black: a "
                       "figure past it.</p>\n<p>%9</p>\n%7<h2>Channels</h2>\n%8")
            .arg(verdictWord(r.passed()), notes, keys, mapSvg(r), timeKeys,
                 QString::number(r.resolutionMs, 'f', 3), timesSvg(r), channelsTable(r),
                 limitsLine(r.settings.limits).toHtmlEscaped());
    return htmlPage(QStringLiteral("looptest diagnosis of ") + QString::fromStdString(r.device),
                    body);
}
