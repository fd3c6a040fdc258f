#include "lab/History.h"

#include "runlog/HtmlPage.h"

#include <algorithm>
#include <cmath>

namespace {

using Times = LabDatabase::Times;
using Findings = LabDatabase::RelayFindings;

// A figure's times and its verdict in a relay's findings.
struct Figure {
    const char* name;
    const Times Findings::*times;
    const QString Findings::*verdict;
    double Limits::*limit;
};
const Figure kFigures[] = {
    {"operate", &Findings::operate, &Findings::operateVerdict, &Limits::operateMs},
    {"release", &Findings::release, &Findings::releaseVerdict, &Limits::releaseMs},
    {"bounce", &Findings::bounce, &Findings::bounceVerdict, &Limits::bounceMs},
};

QString ms(const std::optional<double>& v) {
    return v ? QString::number(*v, 'f', 2) : QStringLiteral("-");
}

QString course(const RelayTrend::Course& c) {
    if (!c.first)
        return QStringLiteral("-");
    QString out = ms(c.first) + QStringLiteral(" -> ") + ms(c.latest);
    // The change of the figures as written: a time under 0.01 ms is none.
    const double first = std::round(*c.first * 100) / 100,
                 latest = std::round(*c.latest * 100) / 100;
    if (first > 0)
        out += QStringLiteral(" (%1%2%)")
                   .arg(latest >= first ? "+" : "")
                   .arg(std::round((latest - first) / first * 100));
    return out;
}

QString count(const RelayTrend::Count& c) {
    return c.first ? QStringLiteral("%1 -> %2").arg(*c.first).arg(*c.latest) : QStringLiteral("-");
}

// "plan to replace" a marginal figure, "replace" a failed one.
QString advice(const QString& verdict) {
    return verdict == QLatin1String("fail") ? QStringLiteral("replace the relay")
                                            : QStringLiteral("plan to replace the relay");
}

QString against(const QString& verdict) {
    return verdict == QLatin1String("fail") ? QStringLiteral("past")
                                            : QStringLiteral("marginal against");
}

bool flagged(const QString& verdict) {
    return verdict == QLatin1String("marginal") || verdict == QLatin1String("fail");
}

QString when(const QDateTime& t) {
    return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

std::array<RelayTrend, 16> relayTrends(const LabDatabase::History& h, const Limits& limits) {
    std::array<RelayTrend, 16> out;
    for (int r = 0; r < 16; ++r) {
        RelayTrend& t = out[r];
        t.lifeUsed = double(h.relays[r].closings) / limits.ratedLife * 100;
        RelayTrend::Course* courses[] = {&t.operate, &t.release, &t.bounce};
        for (int k = 0; k < 3; ++k)
            for (const LabDatabase::Diagnosed& d : h.diagnoses)
                if (const std::optional<double>& median = (d.relays[r].*kFigures[k].times).median) {
                    if (!courses[k]->first)
                        courses[k]->first = median;
                    courses[k]->latest = median;
                }
        // A diagnosis that timed no closing of the relay counted no bounces either.
        for (const LabDatabase::Diagnosed& d : h.diagnoses)
            if (!d.relays[r].bouncesVerdict.isEmpty()) {
                if (!t.bounces.first)
                    t.bounces.first = d.relays[r].bounces;
                t.bounces.latest = d.relays[r].bounces;
            }
        if (!h.diagnoses.empty()) {
            const Findings& latest = h.diagnoses.back().relays[r];
            const QString on = when(h.diagnoses.back().started);
            if (latest.kind != QLatin1String("ok") && !latest.kind.isEmpty())
                t.flags << QStringLiteral("its latest diagnosis (%1) found it %2: see what the "
                                          "diagnosis says of the class and check its wiring "
                                          "and contacts")
                               .arg(on, latest.kind);
            for (const Figure& f : kFigures) {
                const QString& verdict = latest.*f.verdict;
                if (!flagged(verdict))
                    continue;
                t.flags << QStringLiteral("its %1 time at the latest diagnosis (%2), %3 ms at "
                                          "worst, is %4 the %5 ms limit: %6")
                               .arg(QLatin1String(f.name), on, ms((latest.*f.times).worst),
                                    against(verdict))
                               .arg(limits.*f.limit)
                               .arg(advice(verdict));
            }
            if (flagged(latest.bouncesVerdict))
                t.flags << QStringLiteral("its contacts bounced %1 times in one closing at the "
                                          "latest diagnosis (%2), %3 the limit of %4: %5")
                               .arg(latest.bounces)
                               .arg(on, against(latest.bouncesVerdict))
                               .arg(limits.bounces)
                               .arg(advice(latest.bouncesVerdict));
        }
        if (t.operate.first && *t.operate.latest >= 1.5 * *t.operate.first &&
            *t.operate.latest - *t.operate.first >= 1.0)
            t.flags << QStringLiteral("its operate time grew from %1 to %2 ms since its first "
                                      "diagnosis: the relay is wearing; replace it before it "
                                      "fails")
                           .arg(ms(t.operate.first), ms(t.operate.latest));
        if (t.lifeUsed >= limits.marginal * 100)
            t.flags << QStringLiteral("it has used %1% of its rated life of %2 closings: %3")
                           .arg(t.lifeUsed, 0, 'f', 1)
                           .arg(limits.ratedLife, 0, 'g', 12)
                           .arg(t.lifeUsed >= 100 ? QStringLiteral("replace the relay")
                                                  : QStringLiteral("plan to replace the relay"));
    }
    return out;
}

QString historyTable(const LabDatabase::History& h, const Limits& limits) {
    QString out = QStringLiteral("card %1: %2 runs, first seen %3\n"
                                 "relay     closings       errors  errors per million closings  "
                                 "life used\n")
                      .arg(h.card)
                      .arg(h.runs)
                      .arg(h.firstSeen.toLocalTime().toString(Qt::ISODate));
    const std::array<RelayTrend, 16> trends = relayTrends(h, limits);
    for (int r = 0; r < 16; ++r) {
        const LabDatabase::Counts& relay = h.relays[r];
        out += QStringLiteral("%1  %2  %3  %4  %5%\n")
                   .arg(r, 5)
                   .arg(relay.closings, 11)
                   .arg(relay.errors, 11)
                   .arg(relay.closings > 0
                            ? QString::number(double(relay.errors) * 1e6 / double(relay.closings),
                                              'f', 1)
                            : QStringLiteral("-"),
                        27)
                   .arg(trends[r].lifeUsed, 8, 'f', 3);
    }
    if (h.diagnoses.empty()) {
        out += QStringLiteral("no diagnosis of this card yet: looptest --diagnose --card %1 "
                              "measures its relays' times\n")
                   .arg(h.card);
    } else {
        out += QStringLiteral("times over %1 diagnos%2, %3 to %4: medians in ms, first -> "
                              "latest (change)\n"
                              "relay  operate                    release                    "
                              "bounce                     bounces\n")
                   .arg(h.diagnoses.size())
                   .arg(h.diagnoses.size() == 1 ? "is" : "es")
                   .arg(when(h.diagnoses.front().started), when(h.diagnoses.back().started));
        for (int r = 0; r < 16; ++r)
            out += QStringLiteral("%1  %2 %3 %4 %5\n")
                       .arg(r, 5)
                       .arg(course(trends[r].operate), -26)
                       .arg(course(trends[r].release), -26)
                       .arg(course(trends[r].bounce), -26)
                       .arg(count(trends[r].bounces));
    }
    int flagged = 0;
    for (int r = 0; r < 16; ++r)
        for (const QString& flag : trends[r].flags) {
            out += QStringLiteral("FLAG relay %1: %2\n").arg(r).arg(flag);
            ++flagged;
        }
    if (flagged == 0)
        out += QStringLiteral("no relay is flagged\n");
    out += QStringLiteral("last runs, newest first:\n"
                          "started              host                  operator      ending      "
                          "verdict       loops       errors\n");
    for (const LabDatabase::Run& run : h.lastRuns)
        out +=
            QStringLiteral("%1  %2  %3  %4  %5  %6  %7\n")
                .arg(run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), -19)
                .arg(run.host, -20)
                .arg(run.operatorName.isEmpty() ? QStringLiteral("-") : run.operatorName, -12)
                .arg(run.ending, -10)
                .arg(run.verdict.isEmpty() ? QStringLiteral("-") : run.verdict, -7)
                .arg(run.loops, 11)
                .arg(run.errors, 11);
    return out;
}

namespace {

const char* const kColours[] = {"#1f77b4", "#9467bd", "#d62728"};

// One relay's times over the card's diagnoses: a line per figure, its limit dashed in its
// colour; a flagged relay framed in red; its life used as a bar below.
QString relayChart(const LabDatabase::History& h, int r, const RelayTrend& t,
                   const Limits& limits) {
    constexpr int kW = 260, kH = 120, kLeft = 34, kTop = 22, kPlotW = kW - kLeft - 10, kPlotH = 70;
    double top = std::max({limits.operateMs, limits.releaseMs, limits.bounceMs}) * 1.15;
    for (const LabDatabase::Diagnosed& d : h.diagnoses)
        for (const Figure& f : kFigures)
            top = std::max(top, (d.relays[r].*f.times).median.value_or(0) * 1.1);
    const int n = static_cast<int>(h.diagnoses.size());
    auto x = [&](int i) { return kLeft + (n <= 1 ? kPlotW / 2.0 : double(i) * kPlotW / (n - 1)); };
    auto y = [&](double v) { return kTop + kPlotH - v / top * kPlotH; };
    const bool flagged = !t.flags.isEmpty();
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" role=\"img\" aria-label=\"Relay %3%4\">\n"
                                 "<rect x=\"1\" y=\"1\" width=\"%5\" height=\"%6\" fill=\"#fff\" "
                                 "stroke=\"%7\" stroke-width=\"%8\"/>\n"
                                 "<text x=\"6\" y=\"15\" font-size=\"12\" font-weight=\"bold\">"
                                 "R%3%9</text>\n")
                      .arg(kW)
                      .arg(kH)
                      .arg(r)
                      .arg(flagged ? QStringLiteral(", flagged") : QString())
                      .arg(kW - 2)
                      .arg(kH - 2)
                      .arg(flagged ? QStringLiteral("#e00000") : QStringLiteral("#ccc"))
                      .arg(flagged ? 4 : 1)
                      .arg(flagged ? QStringLiteral(" (flagged)") : QString());
    svg += QStringLiteral("<text x=\"4\" y=\"%1\" font-size=\"9\">%2</text><text x=\"4\" "
                          "y=\"%3\" font-size=\"9\">0 ms</text>\n")
               .arg(kTop + 8)
               .arg(top, 0, 'f', 1)
               .arg(kTop + kPlotH);
    for (int k = 0; k < 3; ++k) {
        const Figure& f = kFigures[k];
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"%4\" "
                              "stroke-dasharray=\"4 3\" class=\"limit\"><title>%5 limit %6 ms"
                              "</title></line>\n")
                   .arg(kLeft)
                   .arg(kLeft + kPlotW)
                   .arg(y(limits.*f.limit), 0, 'f', 1)
                   .arg(QLatin1String(kColours[k]), QLatin1String(f.name))
                   .arg(limits.*f.limit);
        QStringList points;
        for (int i = 0; i < n; ++i)
            if (const auto& v = (h.diagnoses[i].relays[r].*f.times).median)
                points << QStringLiteral("%1,%2").arg(x(i), 0, 'f', 1).arg(y(*v), 0, 'f', 1);
        if (points.isEmpty())
            continue;
        svg += QStringLiteral("<polyline points=\"%1\" fill=\"none\" stroke=\"%2\" "
                              "stroke-width=\"2\"><title>%3 medians</title></polyline>\n")
                   .arg(points.join(QLatin1Char(' ')), QLatin1String(kColours[k]),
                        QLatin1String(f.name));
        for (const QString& p : points) {
            const QStringList xy = p.split(QLatin1Char(','));
            svg += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"2.5\" fill=\"%3\"/>\n")
                       .arg(xy[0], xy[1], QLatin1String(kColours[k]));
        }
    }
    // Life used: a bar the plot's width for the rated life.
    const double used = std::min(t.lifeUsed, 100.0) / 100.0;
    svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"8\" fill=\"#eee\"/>"
                          "<rect x=\"%1\" y=\"%2\" width=\"%4\" height=\"8\" fill=\"%5\"/>"
                          "<text x=\"4\" y=\"%6\" font-size=\"9\">life %7%</text>\n")
               .arg(kLeft)
               .arg(kTop + kPlotH + 10)
               .arg(kPlotW)
               .arg(used * kPlotW, 0, 'f', 1)
               .arg(t.lifeUsed >= limits.marginal * 100 ? QStringLiteral("#e08000")
                                                        : QStringLiteral("#2ca02c"))
               .arg(kTop + kPlotH + 18)
               .arg(t.lifeUsed, 0, 'f', 1);
    return svg + QStringLiteral("</svg>\n");
}

} // namespace

QString historyHtml(const LabDatabase::History& h, const Limits& limits) {
    const std::array<RelayTrend, 16> trends = relayTrends(h, limits);
    QString flags;
    for (int r = 0; r < 16; ++r)
        for (const QString& flag : trends[r].flags)
            flags += QStringLiteral("<li><strong>Relay %1</strong>: %2</li>\n")
                         .arg(r)
                         .arg(flag.toHtmlEscaped());
    flags = flags.isEmpty() ? QStringLiteral("<p>No relay is flagged.</p>\n")
                            : QStringLiteral("<ul class=\"flags\">\n%1</ul>\n").arg(flags);
    QString charts;
    for (int r = 0; r < 16; ++r)
        charts += relayChart(h, r, trends[r], limits);
    QList<QStringList> book;
    for (int r = 0; r < 16; ++r)
        book << QStringList{QString::number(r),
                            QString::number(h.relays[r].closings),
                            QString::number(h.relays[r].errors),
                            QString::number(trends[r].lifeUsed, 'f', 3) + QLatin1Char('%'),
                            course(trends[r].operate),
                            course(trends[r].release),
                            course(trends[r].bounce),
                            count(trends[r].bounces)};
    QList<QStringList> runs;
    for (const LabDatabase::Run& run : h.lastRuns)
        runs << QStringList{run.started.toLocalTime().toString(Qt::ISODate),
                            run.host,
                            run.operatorName,
                            run.ending,
                            run.verdict,
                            QString::number(run.loops),
                            QString::number(run.errors)};
    const QString keys = htmlKey(kColours[0], QStringLiteral("operate")) +
                         htmlKey(kColours[1], QStringLiteral("release")) +
                         htmlKey(kColours[2], QStringLiteral("bounce"));
    const QString body =
        QStringLiteral("<p>%1 runs, first seen %2; %3 diagnos%4. Limits: operate %5 ms, "
                       "release %6 ms, bounce %7 ms, bounces %8 in one closing, rated life %9 "
                       "closings.</p>\n<h2>Flags</h2>\n%10<h2>Each relay's times over the "
                       "card's diagnoses</h2>\n<p>%11 Medians in ms, oldest diagnosis left; "
                       "dashed: each figure's limit; framed in red: a flagged relay; the bar "
                       "below: its life used.</p>\n<div class=\"charts\">\n%12</div>\n")
            .arg(h.runs)
            .arg(when(h.firstSeen))
            .arg(h.diagnoses.size())
            .arg(h.diagnoses.size() == 1 ? "is" : "es")
            .arg(limits.operateMs)
            .arg(limits.releaseMs)
            .arg(limits.bounceMs)
            .arg(limits.bounces)
            .arg(limits.ratedLife, 0, 'g', 12)
            .arg(flags, keys, charts);
    return htmlPage(
        QStringLiteral("looptest: the history of card ") + h.card,
        body +
            htmlTable(QStringLiteral("Each relay over the card's life: medians in ms, first -> "
                                     "latest diagnosis"),
                      {QStringLiteral("relay"), QStringLiteral("closings"),
                       QStringLiteral("errors"), QStringLiteral("life used"),
                       QStringLiteral("operate"), QStringLiteral("release"),
                       QStringLiteral("bounce"), QStringLiteral("bounces")},
                      book) +
            htmlTable(QStringLiteral("The last runs, newest first"),
                      {QStringLiteral("started"), QStringLiteral("host"),
                       QStringLiteral("operator"), QStringLiteral("ending"),
                       QStringLiteral("verdict"), QStringLiteral("loops"),
                       QStringLiteral("errors")},
                      runs));
}
