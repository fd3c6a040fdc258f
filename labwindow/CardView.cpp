#include "labwindow/CardView.h"

#include "labwindow/CardSummary.h"
#include "labwindow/Marks.h"
#include "labwindow/RelayMap.h"

#include <QChart>
#include <QChartView>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPushButton>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSplitter>
#include <QTableWidget>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <QValueAxis>
#include <algorithm>

namespace {

using Findings = LabDatabase::RelayFindings;

struct Figure {
    const char* name;
    LabDatabase::Times Findings::*times;
    QString Findings::*verdict;
    double Limits::*limit;
};
const Figure kFigures[] = {
    {"operate", &Findings::operate, &Findings::operateVerdict, &Limits::operateMs},
    {"release", &Findings::release, &Findings::releaseVerdict, &Limits::releaseMs},
    {"bounce", &Findings::bounce, &Findings::bounceVerdict, &Limits::bounceMs},
};

// The mark of a relay's tile: its latest diagnosis's verdict, and at least marginal while it
// carries a flag (a relay wearing out passes its diagnosis and is still flagged).
Mark tileMark(int r, const LabDatabase::History& h, const RelayTrend& t) {
    Mark m = h.diagnoses.empty() ? Mark::None : markOf(h.diagnoses.back().relays[r].verdict);
    if (!t.flags.isEmpty() && (m == Mark::None || m == Mark::Pass))
        m = Mark::Marginal;
    if (t.lifeUsed >= 100) // past its rated life: replace it, whatever it measures
        m = Mark::Fail;
    return m;
}

QString lifeWords(double lifeUsed) {
    return QStringLiteral("life used %1%").arg(lifeUsed, 0, 'f', lifeUsed < 10 ? 2 : 1);
}

// One figure's medians over the card's diagnoses, a line per relay that has any; its limit
// and the marginal part dashed. A relay flagged for this figure is drawn thick in red and named so
// in the legend; the others thin and grey, out of the legend.
QChart* figureChart(const Figure& f, const LabDatabase::History& h,
                    const std::array<RelayTrend, 16>& trends, const Limits& limits) {
    auto* chart = new QChart;
    chart->setTitle(
        QStringLiteral("%1 time, median (ms), by diagnosis").arg(QLatin1String(f.name)));
    chart->setAnimationOptions(QChart::NoAnimation);
    const int n = static_cast<int>(h.diagnoses.size());
    const double limit = limits.*f.limit;
    double top = limit * 1.15;
    auto* axisX = new QValueAxis;
    axisX->setRange(1, std::max(2, n));
    axisX->setTickCount(std::min(std::max(2, n), 10));
    axisX->setLabelFormat(QStringLiteral("%d"));
    axisX->setTitleText(QStringLiteral("diagnosis"));
    auto* axisY = new QValueAxis;
    axisY->setLabelFormat(QStringLiteral("%.1f"));
    chart->addAxis(axisX, Qt::AlignBottom);
    chart->addAxis(axisY, Qt::AlignLeft);
    auto line = [&](QAbstractSeries* s) {
        chart->addSeries(s);
        s->attachAxis(axisX);
        s->attachAxis(axisY);
    };
    QStringList flagged;
    for (int r = 0; r < 16; ++r) {
        auto* s = new QLineSeries;
        for (int k = 0; k < n; ++k)
            if (const auto& v = (h.diagnoses[k].relays[r].*f.times).median) {
                s->append(k + 1, *v);
                top = std::max(top, *v * 1.1);
            }
        if (s->count() == 0) {
            delete s;
            continue;
        }
        // Flagged on this chart: a flag of this figure (its verdict, or its growth).
        const QString about = QStringLiteral("its %1 time").arg(QLatin1String(f.name));
        const bool flag =
            std::any_of(trends[r].flags.begin(), trends[r].flags.end(),
                        [&](const QString& words) { return words.startsWith(about); });
        QPen pen(flag ? markColour(Mark::Fail) : QColor(0xa0, 0xa0, 0xa0));
        pen.setWidthF(flag ? 3.0 : 1.0);
        s->setPen(pen);
        s->setPointsVisible(flag);
        s->setName(flag ? QStringLiteral("R%1 flag").arg(r) : QStringLiteral("R%1").arg(r));
        line(s);
        if (flag)
            flagged << QStringLiteral("R%1").arg(r);
        else
            chart->legend()->markers(s).value(0)->setVisible(false);
    }
    for (const auto& [fraction, name, colour] :
         {std::tuple{1.0, QStringLiteral("limit %1 ms"), QColor(Qt::black)},
          std::tuple{limits.marginal, QStringLiteral("marginal %1"), markColour(Mark::Marginal)}}) {
        auto* s = new QLineSeries;
        s->append(1, limit * fraction);
        s->append(std::max(2, n), limit * fraction);
        QPen pen(colour);
        pen.setStyle(Qt::DashLine);
        pen.setWidthF(1.5);
        s->setPen(pen);
        s->setName(name.arg(limit * fraction, 0, 'g', 3));
        line(s);
    }
    axisY->setRange(0, top);
    chart->legend()->setAlignment(Qt::AlignBottom);
    QFont small = chart->legend()->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    chart->legend()->setFont(small);
    chart->setProperty("flagged", flagged.join(QLatin1String(", ")));
    return chart;
}

} // namespace

QString tileWords(int r, const LabDatabase::History& h, const RelayTrend& t) {
    QString words = QStringLiteral("R%1: ").arg(r);
    if (h.diagnoses.empty()) {
        words += QStringLiteral("not diagnosed");
    } else {
        const Findings& latest = h.diagnoses.back().relays[r];
        words += QStringLiteral("%1, %2").arg(latest.kind.isEmpty() ? QStringLiteral("not measured")
                                                                    : latest.kind,
                                              markWord(markOf(latest.verdict)));
    }
    if (!t.flags.isEmpty())
        words +=
            QStringLiteral(", %1 flag%2").arg(t.flags.size()).arg(t.flags.size() == 1 ? "" : "s");
    return words + QStringLiteral(", ") + lifeWords(t.lifeUsed);
}

CardView::CardView(const Limits& limits, QWidget* parent)
    : QWidget(parent)
    , limits_(limits) {
    auto* layout = new QVBoxLayout(this);
    title_ = new QLabel(this);
    title_->setTextFormat(Qt::PlainText);
    QFont big = title_->font();
    big.setPointSizeF(big.pointSizeF() * 1.3);
    big.setBold(true);
    title_->setFont(big);
    title_->setAccessibleName(QStringLiteral("Card"));
    save_ = new QPushButton(QStringLiteral("&Save page…"), this);
    save_->setAccessibleName(QStringLiteral("Save page…"));
    save_->setAccessibleDescription(QStringLiteral("Writes the card's page, as looptest "
                                                   "--card-history ID --html FILE does"));
    connect(save_, &QPushButton::clicked, this, &CardView::askAndSave);
    diagnose_ = new QPushButton(QStringLiteral("&Diagnose this card…"), this);
    diagnose_->setAccessibleName(QStringLiteral("Diagnose this card…"));
    connect(diagnose_, &QPushButton::clicked, this, [this] { emit diagnoseAsked(history_.card); });
    auto* top = new QHBoxLayout;
    top->addWidget(title_, 1);
    top->addWidget(diagnose_);
    top->addWidget(save_);
    layout->addLayout(top);

    flags_ = new QTextBrowser(this);
    flags_->setAccessibleName(QStringLiteral("Flags"));
    flags_->setMaximumHeight(110);
    layout->addWidget(flags_);

    map_ = new RelayMap(this);
    connect(map_, &RelayMap::chosen, this, &CardView::showRelay);
    layout->addWidget(map_);
    relay_ = new QLabel(this);
    relay_->setWordWrap(true);
    relay_->setTextFormat(Qt::PlainText);
    relay_->setAccessibleName(QStringLiteral("Relay"));
    layout->addWidget(relay_);

    auto* charts = new QHBoxLayout;
    for (int k = 0; k < 3; ++k) {
        charts_[k] = new QChartView(this);
        charts_[k]->setRenderHint(QPainter::Antialiasing);
        charts_[k]->setMinimumHeight(240);
        charts->addWidget(charts_[k]);
    }
    layout->addLayout(charts, 1);

    runs_ = new QTableWidget(0, 7, this);
    runs_->setHorizontalHeaderLabels({QStringLiteral("Started"), QStringLiteral("PC"),
                                      QStringLiteral("By"), QStringLiteral("Ended"),
                                      QStringLiteral("Verdict"), QStringLiteral("Loops"),
                                      QStringLiteral("Errors")});
    runs_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    runs_->setSelectionBehavior(QAbstractItemView::SelectRows);
    runs_->verticalHeader()->hide();
    runs_->horizontalHeader()->setStretchLastSection(true);
    runs_->setMaximumHeight(170);
    runs_->setAccessibleName(QStringLiteral("Last runs"));
    layout->addWidget(runs_);
}

void CardView::show(const LabDatabase::History& history) {
    history_ = history;
    trends_ = relayTrends(history_, limits_);
    title_->setText(
        QStringLiteral("Card %1: %2 run%3, %4 diagnos%5, first seen %6")
            .arg(history_.card)
            .arg(history_.runs)
            .arg(history_.runs == 1 ? "" : "s")
            .arg(history_.diagnoses.size())
            .arg(history_.diagnoses.size() == 1 ? "is" : "es")
            .arg(history_.firstSeen.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))));
    QString flags;
    int n = 0;
    for (int r = 0; r < 16; ++r)
        for (const QString& flag : trends_[r].flags) {
            flags += QStringLiteral("<p>&#9873; <b>FLAG relay %1</b>: %2</p>")
                         .arg(r)
                         .arg(flag.toHtmlEscaped());
            ++n;
        }
    flags_->setHtml(n == 0 ? QStringLiteral("<p>&#10004; No relay is flagged.</p>") : flags);
    flags_->setAccessibleDescription(n == 0 ? QStringLiteral("no relay is flagged")
                                            : QStringLiteral("%1 flags").arg(n));

    for (int r = 0; r < 16; ++r) {
        const Mark m = tileMark(r, history_, trends_[r]);
        const QString kind = history_.diagnoses.empty() ? QStringLiteral("—")
                                                        : history_.diagnoses.back().relays[r].kind;
        map_->mark(r, m,
                   QStringLiteral("R%1 %2\n%3\n%4%")
                       .arg(r)
                       .arg(markWord(m), kind.isEmpty() ? QStringLiteral("—") : kind)
                       .arg(trends_[r].lifeUsed, 0, 'f', trends_[r].lifeUsed < 10 ? 2 : 1),
                   tileWords(r, history_, trends_[r]));
    }
    // The relay a technician looks at first: the first flagged, else the first that failed.
    int first = -1;
    for (int r = 0; r < 16 && first < 0; ++r)
        if (!trends_[r].flags.isEmpty())
            first = r;
    for (int r = 0; r < 16 && first < 0; ++r)
        if (tileMark(r, history_, trends_[r]) == Mark::Fail)
            first = r;
    showRelay(std::max(first, 0));

    for (int k = 0; k < 3; ++k) {
        QChart* old = charts_[k]->chart();
        QChart* chart = figureChart(kFigures[k], history_, trends_, limits_);
        charts_[k]->setChart(chart);
        delete old;
        const QString flagged = chart->property("flagged").toString();
        charts_[k]->setAccessibleName(
            QStringLiteral("%1 times chart").arg(QLatin1String(kFigures[k].name)));
        charts_[k]->setAccessibleDescription(flagged.isEmpty()
                                                 ? QStringLiteral("no relay flagged")
                                                 : QStringLiteral("flagged: %1").arg(flagged));
    }

    runs_->setRowCount(static_cast<int>(history_.lastRuns.size()));
    for (int i = 0; i < runs_->rowCount(); ++i) {
        const LabDatabase::Run& run = history_.lastRuns[i];
        const QStringList cells{
            run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            run.host,
            run.operatorName,
            run.ending,
            verdictWords(run),
            QString::number(run.loops),
            QString::number(run.errors)};
        for (int c = 0; c < cells.size(); ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (c == 4) {
                item->setIcon(markIcon(markOfRun(run)));
                item->setForeground(markColour(markOfRun(run)));
            }
            runs_->setItem(i, c, item);
        }
    }
    runs_->resizeColumnsToContents();
}

void CardView::showRelay(int r) {
    QString words = tileWords(r, history_, trends_[r]);
    const RelayTrend& t = trends_[r];
    words += QStringLiteral("; %1 closings, %2 errors")
                 .arg(history_.relays[r].closings)
                 .arg(history_.relays[r].errors);
    for (const QString& flag : t.flags)
        words += QStringLiteral("\nFLAG: ") + flag;
    relay_->setText(words);
}

bool CardView::savePage(const QString& path, QString& why) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(historyHtml(history_, limits_).toUtf8()) < 0 || !file.commit()) {
        why = QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void CardView::askAndSave() {
    QFileDialog dialog(this, QStringLiteral("Save the page of card %1").arg(history_.card));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(QStringLiteral("Web page (*.html)"));
    dialog.setDefaultSuffix(QStringLiteral("html"));
    dialog.selectFile(history_.card + QStringLiteral(".html"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString why;
    const QString path = dialog.selectedFiles().front();
    emit said(savePage(path, why)
                  ? QStringLiteral("Saved the page of card %1 in %2").arg(history_.card, path)
                  : why);
}
