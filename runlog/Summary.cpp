#include "runlog/Summary.h"

#include "runlog/LogFile.h"

#include <QFile>

#include <algorithm>
#include <cmath>

namespace {

// Every record of a CSV text; quoted fields may span lines.
std::vector<QStringList> records(const QString& text) {
    std::vector<QStringList> out;
    QStringList fields;
    QString field;
    bool quoted = false, any = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = any = true;
        } else if (c == QLatin1Char(',')) {
            fields << field;
            field.clear();
            any = true;
        } else if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            if (any || !field.isEmpty()) {
                fields << field;
                out.push_back(fields);
            }
            fields.clear();
            field.clear();
            any = false;
        } else {
            field += c;
            any = true;
        }
    }
    if (any || !field.isEmpty()) {
        fields << field;
        out.push_back(fields);
    }
    return out;
}

QString when(const QDateTime& t) {
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("?");
}

QString span(qint64 ms) {
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

bool passed(const RunSummary& s) {
    return s.failedReads == 0 &&
           std::all_of(s.errors.begin(), s.errors.end(), [](std::int64_t e) { return e == 0; });
}

// A mismatch's kind: its kind column, or in a record written before that column came, whether
// the byte its relay's port last took closed the relay.
ErrorKind mismatchKind(const QStringList& f, int relay) {
    if (f.size() > 8)
        if (const auto kind = kindFromName(f[8]))
            return *kind;
    bool hex = false;
    const int written = f[4].toInt(&hex, 16);
    const bool closed = hex && relay >= 0 && relay < 16 && (written >> (relay % 8)) & 1;
    return closed ? ErrorKind::InputInactive : ErrorKind::InputActive;
}

QString escaped(const QString& text) {
    return text.toHtmlEscaped();
}

} // namespace

QStringList splitCsv(const QString& line) {
    const auto all = records(line);
    return all.empty() ? QStringList() : all.front();
}

bool readRunLog(const QString& path, RunSummary& s, QString& why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const auto all = records(QString::fromUtf8(file.readAll()));
    const QString header = all.empty() ? QString() : all.front().join(QLatin1Char(','));
    if (header != QLatin1String(LogFile::kHeader) &&
        header != QLatin1String(LogFile::kEightColumnHeader)) {
        why = QStringLiteral("%1 is not a looptest run log: its first line is not \"%2\".")
                  .arg(path, QLatin1String(LogFile::kHeader));
        return false;
    }
    s = {};
    std::array<std::int64_t, 16> atCheckpoint{};
    bool started = false;
    for (std::size_t r = 1; r < all.size(); ++r) {
        const QStringList& f = all[r];
        if (f.size() < 8)
            continue; // a row cut short by a crash
        const QDateTime time = QDateTime::fromString(f[0], Qt::ISODateWithMs);
        const QString event = f[2];
        bool hasChannel = false;
        const int channel = f[3].toInt(&hasChannel);
        const bool validChannel = hasChannel && channel >= 0 && channel < 16;
        const std::int64_t count = f[6].toLongLong();
        if (event == QLatin1String("start")) {
            s = {}; // a later run in the same file: the summary is of the last
            atCheckpoint = {};
            s.startDetail = f[7];
            s.started = time;
            started = true;
        }
        if (!started)
            continue;
        s.lastRow = time;
        s.loops = f[1].toLongLong();
        if (event == QLatin1String("mismatch") || event == QLatin1String("write-failed") ||
            event == QLatin1String("read-failed")) {
            RunSummary::ErrorRow e;
            e.time = time;
            e.count = count;
            if (event == QLatin1String("mismatch")) {
                e.kind = mismatchKind(f, channel);
                e.lane = validChannel ? channel : 16;
            } else if (event == QLatin1String("write-failed")) {
                e.kind = ErrorKind::WriteFailed;
                e.lane = validChannel ? channel : 17;
            } else {
                e.kind = ErrorKind::ReadFailed;
                e.lane = 16;
                s.failedReads += count;
            }
            s.rows.push_back(e);
            s.afterCheckpoint += count;
        } else if (event == QLatin1String("checkpoint") && validChannel) {
            if (time != s.checkpoint)
                atCheckpoint = {};
            s.checkpoint = time;
            atCheckpoint[channel] = count;
            s.afterCheckpoint = 0;
        } else if (event == QLatin1String("reset")) {
            if (validChannel)
                s.clearedByReset[channel] += count;
            else
                s.loopsCleared += count;
            if (!validChannel)
                s.resets.push_back(time);
            atCheckpoint = {};
        } else if (event == QLatin1String("total")) {
            if (validChannel)
                s.errors[channel] = count;
            else
                s.loops = count;
        } else if (event == QLatin1String("end")) {
            s.complete = true;
        }
    }
    if (!started) {
        why = QStringLiteral("%1 holds no run: it has no start row.").arg(path);
        return false;
    }
    if (!s.complete)
        s.errors = atCheckpoint;
    return true;
}

QString summaryTable(const RunSummary& s) {
    QString out = QStringLiteral("Run started %1, last row %2 (%3)\n%4\n")
                      .arg(when(s.started), when(s.lastRow), span(s.started.msecsTo(s.lastRow)),
                           s.startDetail);
    if (!s.complete) {
        out += s.checkpoint.isValid()
                   ? QStringLiteral("This log was cut short: the program did not end it. The "
                                    "counts are those of its last checkpoint, %1; %2 more errors "
                                    "were logged after it.\n")
                         .arg(when(s.checkpoint))
                         .arg(s.afterCheckpoint)
                   : QStringLiteral("This log was cut short before its first checkpoint: the "
                                    "counts below are not known; %1 errors were logged.\n")
                         .arg(s.afterCheckpoint);
    }
    out += QStringLiteral("relay  input  errors  cleared by Reset\n");
    for (int r = 0; r < 16; ++r)
        out += QStringLiteral("%1  %2  %3  %4\n")
                   .arg(r, 5)
                   .arg(15 - r, 5)
                   .arg(s.errors[r], 6)
                   .arg(s.clearedByReset[r], 16);
    out += QStringLiteral("loops: %1 (cleared by Reset: %2)\nfailed reads: %3\nverdict: %4\n")
               .arg(s.loops)
               .arg(s.loopsCleared)
               .arg(s.failedReads)
               .arg(!s.complete ? QStringLiteral("unknown (cut short)")
                    : passed(s) ? QStringLiteral("PASS")
                                : QStringLiteral("FAIL"));
    return out;
}

QString summaryHtml(const RunSummary& s) {
    // The timeline: one lane per relay, then the reads and the writes charged to no relay.
    // The run is cut into columns; a column is drawn where errors came, darker the more.
    constexpr int kColumns = 240, kColumnWidth = 4, kLane = 20, kLeft = 110, kTop = 24;
    constexpr int kLanes = 18;
    const char* const kColours[] = {"#d62728", "#ff7f0e", "#9467bd", "#1f77b4"};
    const qint64 t0 = s.started.toMSecsSinceEpoch();
    const qint64 length = std::max<qint64>(1, s.started.msecsTo(s.lastRow));
    auto column = [&](const QDateTime& t) {
        return std::clamp<int>(
            static_cast<int>(double(t.toMSecsSinceEpoch() - t0) / double(length) * kColumns), 0,
            kColumns - 1);
    };
    std::vector<std::array<double, kColumns>> density(kLanes * kErrorKinds);
    for (auto& d : density)
        d.fill(0);
    std::array<QDateTime, kLanes * kErrorKinds> previous{};
    for (const RunSummary::ErrorRow& e : s.rows) {
        const int key = e.lane * kErrorKinds + static_cast<int>(e.kind);
        // A row of several errors closes an episode, or sums one up: its count spreads back
        // over the time since the lane's last row. The column of that row holds its own.
        const int last = column(e.time);
        const int first = e.count > 1 && previous[key].isValid()
                              ? std::min(last, column(previous[key]) + 1)
                              : last;
        for (int c = first; c <= last; ++c)
            density[key][c] += double(e.count) / double(last - first + 1);
        previous[key] = e.time;
    }
    // A column's shade is the share of its loops that failed: a relay failing every loop is
    // solid, one failing now and then is pale.
    const double loopsPerColumn =
        std::max(1.0, double(s.loops + s.loopsCleared) / double(kColumns));

    const int width = kLeft + kColumns * kColumnWidth + 20;
    const int height = kTop + kLanes * kLane + 40;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" shape-rendering=\"crispEdges\" role=\"img\" "
                                 "aria-label=\"When the errors came\">\n")
                      .arg(width)
                      .arg(height);
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
        for (int kind = 0; kind < kErrorKinds; ++kind) {
            const auto& d = density[lane * kErrorKinds + kind];
            // Neighbouring columns of one shade are drawn as one bar.
            auto shade = [&](int c) {
                return d[c] <= 0 ? 0.0
                                 : 0.25 + 0.75 * std::min(1.0, std::sqrt(d[c] / loopsPerColumn));
            };
            for (int c = 0; c < kColumns;) {
                const QString opacity = QString::number(shade(c), 'f', 2);
                int end = c + 1;
                while (end < kColumns && QString::number(shade(end), 'f', 2) == opacity)
                    ++end;
                if (d[c] > 0)
                    svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" "
                                          "fill=\"%5\" fill-opacity=\"%6\"/>\n")
                               .arg(kLeft + c * kColumnWidth)
                               .arg(y + 2)
                               .arg((end - c) * kColumnWidth)
                               .arg(kLane - 6)
                               .arg(QLatin1String(kColours[kind]), opacity);
                c = end;
            }
        }
    }
    for (const QDateTime& reset : s.resets)
        svg += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%1\" y2=\"%3\" stroke=\"#555\" "
                              "stroke-dasharray=\"3,3\"/>\n")
                   .arg(kLeft + column(reset) * kColumnWidth)
                   .arg(kTop - 6)
                   .arg(kTop + kLanes * kLane);
    const int axis = kTop + kLanes * kLane + 16;
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"12\">%3</text>\n"
                          "<text x=\"%4\" y=\"%2\" font-size=\"12\" text-anchor=\"end\">%5 "
                          "(+%6)</text>\n</svg>\n")
               .arg(kLeft)
               .arg(axis)
               .arg(when(s.started))
               .arg(kLeft + kColumns * kColumnWidth)
               .arg(when(s.lastRow))
               .arg(span(length));

    QString legend;
    for (int k = 0; k < kErrorKinds; ++k)
        legend += QStringLiteral("<span class=\"key\"><span style=\"background:%1\"></span>%2"
                                 "</span>")
                      .arg(QLatin1String(kColours[k]),
                           QLatin1String(kindWords(static_cast<ErrorKind>(k))));

    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                          "<title>looptest run of %1</title>\n<style>\n"
                          "body{font-family:sans-serif;margin:16px;color:#222}"
                          "pre{background:#f6f6f6;padding:8px;display:inline-block}"
                          ".key{margin-right:16px;font-size:13px}"
                          ".key span{display:inline-block;width:12px;height:12px;margin-right:4px;"
                          "vertical-align:middle}\n</style></head><body>\n"
                          "<h1>looptest run of %1</h1>\n<p>%2</p>\n<h2>When the errors came</h2>\n"
                          "<p>%3 Darker: a larger share of the loops failed. Dashed lines: "
                          "Reset.</p>\n%4<h2>Counts</h2>\n<pre>%5</pre>\n"
                          "</body></html>\n")
        .arg(escaped(when(s.started)), escaped(s.startDetail), legend, svg,
             escaped(summaryTable(s)));
}
