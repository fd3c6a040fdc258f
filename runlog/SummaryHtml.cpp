#include "runlog/Summary.h"

#include "runlog/HtmlPage.h"
#include "runlog/LogReader.h"
#include "runlog/Wording.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

using logformat::Event;
using logformat::ReadRow;

// The timeline: one lane per relay, then the reads and the writes charged to no relay. The run
// is cut into columns; a column is drawn where errors came, darker the more.
constexpr int kColumns = 240, kColumnWidth = 4, kLane = 20, kLeft = 110, kTop = 24;
constexpr int kLanes = 18;
const char* const kColours[] = {"#d62728", "#ff7f0e", "#9467bd", "#1f77b4"};

// Where the errors of the last run came: per lane and kind, how many fell in each column; and
// the columns where a Reset came.
struct Density {
    std::vector<std::array<double, kColumns>> errors =
        std::vector<std::array<double, kColumns>>(kLanes * kErrorKinds);
    std::array<bool, kColumns> resets{};
};

Density density(const RunSummary& s, QIODevice& log) {
    Density d;
    for (auto& lane : d.errors)
        lane.fill(0);
    const qint64 length = std::max<qint64>(1, s.lastRowMs - s.startedMs);
    auto column = [&](qint64 ms) {
        const double at = double(ms - s.startedMs) / double(length) * kColumns;
        return static_cast<int>(std::clamp(at, 0.0, double(kColumns - 1)));
    };
    std::array<qint64, kLanes * kErrorKinds> previous{};
    std::array<bool, kLanes * kErrorKinds> seen{};
    if (s.startedText.isEmpty())
        return d;
    // A second reading of the last run, as far as the first went.
    QString unused;
    eachRow(
        log, s.lastRunOffset,
        [&](const ReadRow& row, qint64, qint64 offset) {
            if (s.readTo >= 0 && offset >= s.readTo)
                return false;
            if (row.form->event == Event::Reset && row.channel < 0)
                d.resets[column(row.ms)] = true;
            if (!row.form->error)
                return row.form->event != Event::End;
            const int key = logformat::laneOf(row) * kErrorKinds + static_cast<int>(row.kind);
            // A row of several errors closes an episode, or sums one up: its count spreads
            // back over the time since the lane's last row, whose column holds its own.
            const int last = column(row.ms);
            const int first =
                row.count > 1 && seen[key] ? std::min(last, column(previous[key]) + 1) : last;
            for (int c = first; c <= last; ++c)
                d.errors[key][c] += double(row.count) / double(last - first + 1);
            previous[key] = row.ms;
            seen[key] = true;
            return true;
        },
        unused);
    return d;
}

// One lane's bars: neighbouring columns of one shade, in hundredths, drawn as one bar. A
// column's shade is the share of its loops that failed: a relay failing every loop is solid,
// one failing now and then is pale.
QString laneBars(const std::array<double, kColumns>& d, int y, const char* colour,
                 double loopsPerColumn) {
    auto shade = [&](int c) {
        return d[c] <= 0 ? 0
                         : static_cast<int>(std::lround(
                               25 + 75 * std::min(1.0, std::sqrt(d[c] / loopsPerColumn))));
    };
    QString svg;
    for (int c = 0; c < kColumns;) {
        const int opacity = shade(c);
        int end = c + 1;
        while (end < kColumns && shade(end) == opacity)
            ++end;
        if (opacity > 0)
            svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" "
                                  "fill=\"%5\" fill-opacity=\"%6\"/>\n")
                       .arg(kLeft + c * kColumnWidth)
                       .arg(y + 2)
                       .arg((end - c) * kColumnWidth)
                       .arg(kLane - 6)
                       .arg(QLatin1String(colour))
                       .arg(opacity / 100.0, 0, 'f', 2);
        c = end;
    }
    return svg;
}

QString timeline(const RunSummary& s, const Density& d) {
    const double loopsPerColumn =
        std::max(1.0, double(saturatingAdd(s.loops, s.loopsCleared)) / double(kColumns));
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" shape-rendering=\"crispEdges\" role=\"img\" "
                                 "aria-label=\"When the errors came\">\n")
                      .arg(kLeft + kColumns * kColumnWidth + 20)
                      .arg(kTop + kLanes * kLane + 40);
    for (int lane = 0; lane < kLanes; ++lane) {
        const int y = kTop + lane * kLane;
        const QString label = lane < 16 ? QStringLiteral("R%1 \u2192 P%2").arg(lane).arg(15 - lane)
                              : lane == 16 ? QStringLiteral("port reads")
                                           : QStringLiteral("other writes");
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>\n"
                              "<text x=\"4\" y=\"%6\" font-size=\"12\">%7</text>\n")
                   .arg(kLeft)
                   .arg(y)
                   .arg(kColumns * kColumnWidth)
                   .arg(kLane - 2)
                   .arg(lane % 2 ? QStringLiteral("#f4f4f4") : QStringLiteral("#ebebeb"))
                   .arg(y + 14)
                   .arg(label);
        for (int kind = 0; kind < kErrorKinds; ++kind)
            svg += laneBars(d.errors[lane * kErrorKinds + kind], y, kColours[kind], loopsPerColumn);
    }
    for (int c = 0; c < kColumns; ++c)
        if (d.resets[c])
            svg += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%1\" y2=\"%3\" stroke=\"#555\" "
                                  "stroke-dasharray=\"3,3\"/>\n")
                       .arg(kLeft + c * kColumnWidth)
                       .arg(kTop - 6)
                       .arg(kTop + kLanes * kLane);
    return svg + QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"12\">%3</text>\n"
                                "<text x=\"%4\" y=\"%2\" font-size=\"12\" text-anchor=\"end\">%5 "
                                "(+%6)</text>\n</svg>\n")
                     .arg(kLeft)
                     .arg(kTop + kLanes * kLane + 16)
                     .arg(orUnknown(s.startedText))
                     .arg(kLeft + kColumns * kColumnWidth)
                     .arg(orUnknown(s.lastRowText))
                     .arg(durationText(std::max<qint64>(1, s.lastRowMs - s.startedMs)));
}

// The counts as tables, after the notes a reader must see first.
QString counts(const RunSummary& s) {
    QString out;
    if (s.state == RunSummary::State::Damaged && s.startedText.isEmpty())
        return QStringLiteral("<p>This is no run log that can be read: %1.</p>\n")
            .arg(s.damage.toHtmlEscaped());
    for (const QString& note : summaryNotes(s))
        out += QStringLiteral("<p>%1</p>\n").arg(note.toHtmlEscaped());
    if (s.diagnosed) {
        QList<QStringList> rows;
        for (int r = 0; r < 16; ++r)
            rows << QStringList{QString::number(r), s.diagnosis[r]};
        return out + htmlTable(QStringLiteral("A diagnosis of the card, a row per channel"),
                               {QStringLiteral("channel"), QStringLiteral("words")}, rows);
    }
    out += htmlTable(QStringLiteral("Errors per relay"),
                     {QStringLiteral("relay"), QStringLiteral("input"), QStringLiteral("errors"),
                      QStringLiteral("cleared by Reset")},
                     summaryCounts(s));
    return out + htmlTable(QStringLiteral("The run's totals"),
                           {QStringLiteral("what"), QStringLiteral("count")}, summaryTotals(s));
}

} // namespace

QString summaryHtml(const RunSummary& s, QIODevice& log) {
    QString legend;
    for (int k = 0; k < kErrorKinds; ++k)
        legend += htmlKey(kColours[k], QLatin1String(kindWords(static_cast<ErrorKind>(k))));
    const QString title = QStringLiteral("looptest run of ") + orUnknown(s.startedText) +
                          (s.card.isEmpty() ? QString() : QStringLiteral(", card ") + s.card);
    const QString body =
        QStringLiteral("<p>%6</p>\n<p>%1</p>\n<h2>When the errors came</h2>\n"
                       "<p>%2 Darker: a larger share of the loops failed. Dashed lines: "
                       "Reset.</p>\n%3<h2>Counts</h2>\n%4<p>Verdict: %5</p>\n")
            .arg(s.startDetail.toHtmlEscaped(), legend, timeline(s, density(s, log)), counts(s),
                 summaryVerdict(s).toHtmlEscaped(), summaryHeading(s).toHtmlEscaped());
    return htmlPage(title, body);
}
