#include "labwindow/DiagnosePanel.h"

#include "app/DiagnoseRun.h"
#include "card/CardId.h"
#include "card/DeviceSelectingCard.h"
#include "diagnosis/Reports.h"
#include "labwindow/DiagnosisJob.h"
#include "labwindow/RelayMap.h"

#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace {

using Class = ChannelDiagnosis::Class;

enum Column {
    kRelay,
    kInput,
    kClass,
    kOperateMedian,
    kOperateWorst,
    kReleaseMedian,
    kReleaseWorst,
    kBounceMedian,
    kBounceWorst,
    kBounces,
    kVerdict,
    kCheck,
    kColumns
};

// A label that says how things stand: its words are its accessible description too, under
// a name that stays put.
void tell(QLabel* label, const QString& words) {
    label->setText(words);
    label->setAccessibleDescription(words);
}

Mark markOf(Verdict v) {
    return v == Verdict::Fail ? Mark::Fail : v == Verdict::Marginal ? Mark::Marginal : Mark::Pass;
}

// How a channel stands: while it is only timed, by its figures, and failed when its input did
// not follow (no class is ok then); once classed, a class but ok fails it too; one the
// diagnosis did not class has no verdict.
Mark channelMark(const ChannelDiagnosis& c, bool classed, bool followed) {
    if (classed && c.kind == Class::Unknown)
        return Mark::None;
    if ((classed && c.kind != Class::Ok) || (!classed && !followed))
        return Mark::Fail;
    return markOf(c.judged);
}

const Measurement* measured(const ChannelDiagnosis& c, const char* name, const char* of) {
    for (const Measurement& m : c.measured)
        if (m.name == name && m.of == of)
            return &m;
    return nullptr;
}

const char* checkOf(Class kind) {
    for (const ClassInfo& info : diagnosisClasses())
        if (info.kind == kind)
            return info.check;
    return "";
}

} // namespace

DiagnosePanel::DiagnosePanel(const Options& options, QWidget* parent)
    : QWidget(parent)
    , options_(options)
    , limits_(options.judgedBy)
    , job_(new DiagnosisJob(this))
    , clock_(new QTimer(this)) {
    auto* layout = new QVBoxLayout(this);

    // What to diagnose, and how.
    auto* setup = new QGroupBox(QStringLiteral("Diagnose a card"), this);
    auto* form = new QFormLayout(setup);
    device_ = new QLineEdit(options.device ? QString::fromStdString(options.device->text)
                                           : QStringLiteral("sim"),
                            setup);
    device_->setAccessibleName(QStringLiteral("Device"));
    device_->setToolTip(QStringLiteral("A device spec, as --device takes it (sim, "
                                       "sim:relay-never-closes=3, isa:300, modbus-tcp:HOST, "
                                       "comedi:/dev/comedi0), or Choose… to pick one"));
    choose_ = new QPushButton(QStringLiteral("C&hoose…"), setup);
    choose_->setAccessibleName(QStringLiteral("Choose device…"));
    auto* deviceRow = new QHBoxLayout;
    deviceRow->addWidget(device_, 1);
    deviceRow->addWidget(choose_);
    auto* deviceLabel = new QLabel(QStringLiteral("De&vice:"), setup);
    deviceLabel->setBuddy(device_);
    form->addRow(deviceLabel, deviceRow);
    cardId_ = new QLineEdit(setup);
    cardId_->setAccessibleName(QStringLiteral("Card to diagnose"));
    cardId_->setPlaceholderText(QStringLiteral("type or scan the card's ID; Enter starts"));
    form->addRow(QStringLiteral("Ca&rd ID:"), cardId_);
    operator_ = new QLineEdit(QString::fromStdString(options.operatorName), setup);
    operator_->setAccessibleName(QStringLiteral("Operator"));
    form->addRow(QStringLiteral("O&perator:"), operator_);
    limitsText_ = new QLabel(setup);
    limitsText_->setWordWrap(true);
    limitsText_->setAccessibleName(QStringLiteral("Limits"));
    tell(limitsText_, limitsLine(limits_));
    limitsButton_ = new QPushButton(QStringLiteral("Li&mits file…"), setup);
    limitsButton_->setAccessibleName(QStringLiteral("Limits file…"));
    auto* limitsRow = new QHBoxLayout;
    limitsRow->addWidget(limitsText_, 1);
    limitsRow->addWidget(limitsButton_);
    form->addRow(QStringLiteral("Limits:"), limitsRow);
    // The command line's defaults and bounds.
    repeat_ = new QSpinBox(setup);
    repeat_->setRange(1, 100);
    repeat_->setValue(options.repeat);
    repeat_->setAccessibleName(QStringLiteral("Repeats"));
    readback_ = new QSpinBox(setup);
    readback_->setRange(5, kLongestReadbackMs);
    readback_->setSuffix(QStringLiteral(" ms"));
    readback_->setValue(options.readbackMs);
    readback_->setAccessibleName(QStringLiteral("Read-back delay"));
    auto* numbers = new QHBoxLayout;
    numbers->addWidget(repeat_);
    auto* readbackLabel = new QLabel(QStringLiteral("Read-&back delay:"), setup);
    readbackLabel->setBuddy(readback_);
    numbers->addWidget(readbackLabel);
    numbers->addWidget(readback_);
    numbers->addStretch(1);
    auto* repeatLabel = new QLabel(QStringLiteral("R&epeats:"), setup);
    repeatLabel->setBuddy(repeat_);
    form->addRow(repeatLabel, numbers);

    start_ = new QPushButton(QStringLiteral("&Diagnose"), setup);
    start_->setAccessibleName(QStringLiteral("Diagnose"));
    cancel_ = new QPushButton(QStringLiteral("Cancel (Esc)"), setup);
    cancel_->setAccessibleName(QStringLiteral("Cancel"));
    cancel_->setEnabled(false);
    save_ = new QPushButton(QStringLiteral("&Save report…"), setup);
    save_->setAccessibleName(QStringLiteral("Save report…"));
    save_->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_);
    buttons->addWidget(cancel_);
    buttons->addStretch(1);
    buttons->addWidget(save_);
    form->addRow(buttons);
    layout->addWidget(setup);

    // How far it is.
    phase_ = new QLabel(this);
    phase_->setAccessibleName(QStringLiteral("Phase"));
    tell(phase_, QStringLiteral("No diagnosis yet"));
    bar_ = new QProgressBar(this);
    bar_->setAccessibleName(QStringLiteral("Progress"));
    bar_->setRange(0, 1);
    bar_->setValue(0);
    time_ = new QLabel(this);
    time_->setAccessibleName(QStringLiteral("Time"));
    auto* progress = new QHBoxLayout;
    progress->addWidget(phase_, 2);
    progress->addWidget(bar_, 3);
    progress->addWidget(time_, 2);
    layout->addLayout(progress);

    // The outcome, kept until the next card's diagnosis starts.
    auto* outcomeRow = new QHBoxLayout;
    outcomeIcon_ = new QLabel(this);
    outcome_ = new QLabel(this);
    QFont big = outcome_->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    outcome_->setFont(big);
    outcome_->setAccessibleName(QStringLiteral("Outcome"));
    outcome_->setTextFormat(Qt::PlainText);
    outcome_->setWordWrap(true);
    outcomeRow->addWidget(outcomeIcon_);
    outcomeRow->addWidget(outcome_, 1);
    layout->addLayout(outcomeRow);
    details_ = new QLabel(this);
    details_->setAccessibleName(QStringLiteral("What to check"));
    details_->setTextFormat(Qt::PlainText);
    details_->setWordWrap(true);
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    layout->addWidget(details_);

    map_ = new RelayMap(this, true);
    layout->addWidget(map_);

    table_ = new QTableWidget(16, kColumns, this);
    table_->setHorizontalHeaderLabels(
        {QStringLiteral("Relay"), QStringLiteral("Input"), QStringLiteral("Class"),
         QStringLiteral("Operate median"), QStringLiteral("Operate worst"),
         QStringLiteral("Release median"), QStringLiteral("Release worst"),
         QStringLiteral("Bounce median"), QStringLiteral("Bounce worst"), QStringLiteral("Bounces"),
         QStringLiteral("Verdict"), QStringLiteral("What to check")});
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setSectionResizeMode(kCheck, QHeaderView::Stretch);
    table_->setColumnWidth(kVerdict, 380);
    table_->setWordWrap(false);
    table_->setAccessibleName(QStringLiteral("Relays"));
    layout->addWidget(table_, 1);
    clearResults();

    connect(choose_, &QPushButton::clicked, this, &DiagnosePanel::chooseDevice);
    connect(device_, &QLineEdit::textEdited, this, [this] { chosen_.reset(); });
    connect(limitsButton_, &QPushButton::clicked, this, &DiagnosePanel::chooseLimits);
    connect(cardId_, &QLineEdit::returnPressed, this, &DiagnosePanel::start);
    connect(start_, &QPushButton::clicked, this, &DiagnosePanel::start);
    connect(cancel_, &QPushButton::clicked, this, &DiagnosePanel::cancel);
    connect(save_, &QPushButton::clicked, this, &DiagnosePanel::saveReport);
    // Esc cancels from anywhere in the window while a diagnosis runs.
    esc_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    esc_->setContext(Qt::WindowShortcut);
    esc_->setEnabled(false);
    connect(esc_, &QShortcut::activated, this, &DiagnosePanel::cancel);
    connect(job_, &DiagnosisJob::stepped, this, &DiagnosePanel::stepped);
    connect(job_, &DiagnosisJob::timed, this, [this](const ChannelDiagnosis& c, bool followed) {
        timed_[c.relay] = true;
        followed_[c.relay] = followed;
        showChannel(c, false, followed);
    });
    connect(job_, &DiagnosisJob::finished, this, &DiagnosePanel::finished);
    connect(job_, &DiagnosisJob::refused, this, &DiagnosePanel::refused);
    connect(job_, &DiagnosisJob::warned, this, &DiagnosePanel::said);
    connect(clock_, &QTimer::timeout, this, &DiagnosePanel::showTime);
    clock_->setInterval(250);
}

DiagnosePanel::~DiagnosePanel() {
    // What the job still says has no one to tell; its end opens every relay.
    disconnect(job_, nullptr, this, nullptr);
    job_->cancel();
}

void DiagnosePanel::prepare(const QString& card) {
    if (!card.isEmpty() && !running())
        cardId_->setText(card);
    cardId_->setFocus();
    cardId_->selectAll();
}

bool DiagnosePanel::running() const {
    return job_->running();
}

void DiagnosePanel::stop(int ms) {
    job_->cancel();
    job_->wait(ms);
}

bool DiagnosePanel::start() {
    if (running())
        return false;
    const QString card = cardId_->text().trimmed();
    auto refuse = [this](const QString& words) {
        emit said(words);
        showOutcome(Mark::None, QStringLiteral("Not started: ") + words, {});
        return false;
    };
    if (!validCardId(card))
        return refuse(card.isEmpty()
                          ? QStringLiteral("Type or scan the card's ID, then Enter.")
                          : QStringLiteral("\"%1\" is no card ID: 1 to 64 letters, digits, "
                                           "'.', '-' and '_'.")
                                .arg(card));
    const QString who = operator_->text().trimmed();
    if (!validOperator(who.toStdString()))
        return refuse(QStringLiteral("Who tests? The operator's name: 1 to 64 characters."));

    Options o = options_;
    o.mode = Options::Mode::Diagnose;
    o.card = card.toStdString();
    o.operatorName = who.toStdString();
    o.judgedBy = limits_;
    o.repeat = repeat_->value();
    o.readbackMs = readback_->value();
    std::shared_ptr<DeviceSelectingCard> device = chosen_;
    if (!device) {
        DeviceSpec spec;
        std::string why;
        if (!parseDeviceSpec(device_->text().trimmed().toStdString(), spec, why))
            return refuse(QStringLiteral("The device: %1").arg(QString::fromStdString(why)));
        o.device = spec;
        device = std::make_shared<DeviceSelectingCard>(standardDeviceEntries(sources_, &spec));
        device->preselect(spec);
        device->setChooserShown(false);
    } else {
        o.device.reset();
    }

    card_ = card;
    timed_.fill(false);
    followed_.fill(true);
    clearResults();
    report_.reset();
    step_ = {};
    step_.steps = 1 + 16 + o.repeat + 1;
    step_.mapsLeft = o.repeat;
    bar_->setRange(0, step_.steps);
    bar_->setValue(0);
    tell(phase_, QStringLiteral("opening the device"));
    showOutcome(Mark::None, QStringLiteral("Diagnosing card %1…").arg(card), {});
    setRunning(true);
    began_.start();
    stepBegan_.start();
    showTime();
    clock_->start();
    job_->start(o, device);
    return true;
}

void DiagnosePanel::cancel() {
    if (!running())
        return;
    job_->cancel();
    tell(phase_, QStringLiteral("cancelling: opening every relay"));
}

void DiagnosePanel::setRunning(bool on) {
    for (QWidget* w : std::initializer_list<QWidget*>{device_, choose_, cardId_, operator_,
                                                      limitsButton_, repeat_, readback_, start_})
        w->setEnabled(!on);
    // The ID field stays in reach of a scanner: it only answers Enter once this one ended.
    cardId_->setEnabled(true);
    cardId_->setReadOnly(on);
    cancel_->setEnabled(on);
    esc_->setEnabled(on);
    save_->setEnabled(!on && report_.has_value());
    if (on)
        cancel_->setFocus();
    else
        cardId_->setFocus();
    if (!on)
        cardId_->selectAll();
}

void DiagnosePanel::clearResults() {
    for (int r = 0; r < 16; ++r) {
        map_->mark(r, Mark::None, QStringLiteral("R%1\n—").arg(r),
                   QStringLiteral("R%1: not timed yet").arg(r));
        for (int col = 0; col < kColumns; ++col)
            table_->setItem(r, col, new QTableWidgetItem(QString()));
        table_->item(r, kRelay)->setText(QStringLiteral("R%1").arg(r));
        table_->item(r, kInput)->setText(QString::number(15 - r));
        table_->item(r, kClass)->setText(QStringLiteral("—"));
    }
    details_->clear();
    fitColumns();
}

void DiagnosePanel::stepped(const DiagnosisStep& step) {
    step_ = step;
    stepBegan_.start();
    bar_->setRange(0, step.steps);
    bar_->setValue(step.done);
    tell(phase_, QString::fromStdString(step.what));
    bar_->setAccessibleDescription(
        QStringLiteral("%1 of %2 steps: %3").arg(step.done).arg(step.steps).arg(phase_->text()));
    showTime();
}

void DiagnosePanel::showTime() {
    if (!began_.isValid())
        return;
    DiagnosisSettings settings;
    settings.repeat = repeat_->value();
    settings.readbackMs = readback_->value();
    const double left =
        std::max(0.0, diagnosisTimeLeftMs(step_, settings) - double(stepBegan_.elapsed()));
    tell(time_, QStringLiteral("%1 s gone, at most %2 s left")
                    .arg(began_.elapsed() / 1000)
                    .arg(std::ceil(left / 1000.0)));
}

void DiagnosePanel::showChannel(const ChannelDiagnosis& c, bool classed, bool followed) {
    const int r = c.relay;
    const Mark mark = channelMark(c, classed, followed);
    auto figure = [&](Column col, const ChannelDiagnosis::Figures& f, const char* name,
                      const char* of) {
        QTableWidgetItem* item = table_->item(r, col);
        const std::optional<double>& value = std::string(of) == "median" ? f.median : f.max;
        if (!value) {
            item->setText(QStringLiteral("—"));
            item->setIcon({});
            return;
        }
        const Measurement* m = measured(c, name, of);
        const Mark at = m ? markOf(m->verdict) : Mark::None;
        item->setText(QStringLiteral("%1 ms%2")
                          .arg(*value, 0, 'f', 2)
                          .arg(at == Mark::Fail       ? QStringLiteral(" FAIL")
                               : at == Mark::Marginal ? QStringLiteral(" marginal")
                                                      : QString()));
        item->setIcon(at == Mark::Pass ? QIcon() : markIcon(at));
        item->setForeground(markColour(at));
        if (m)
            item->setToolTip(QString::fromStdString(m->words()));
    };
    figure(kOperateMedian, c.operate, "operate", "median");
    figure(kOperateWorst, c.operate, "operate", "worst");
    figure(kReleaseMedian, c.release, "release", "median");
    figure(kReleaseWorst, c.release, "release", "worst");
    figure(kBounceMedian, c.bounce, "bounce", "median");
    figure(kBounceWorst, c.bounce, "bounce", "worst");
    table_->item(r, kBounces)
        ->setText(c.operate.max ? QString::number(c.bounces) : QStringLiteral("—"));
    const QString kind = classed ? QLatin1String(className(c.kind)) : QStringLiteral("timed");
    table_->item(r, kClass)->setText(kind);

    // The verdict in words: the figures past their limits, then those marginal, each with its
    // limit; a class but ok names the class.
    QStringList why;
    if (classed && c.kind != Class::Ok && c.kind != Class::Unknown)
        why << QLatin1String(className(c.kind));
    if (!classed && !followed)
        why << QStringLiteral("input %1 did not follow it").arg(c.input);
    for (const Verdict at : {Verdict::Fail, Verdict::Marginal})
        for (const Measurement& m : c.measured)
            if (m.verdict == at)
                why << QString::fromStdString(m.words());
    const QString verdict =
        classed && c.kind == Class::Unknown
            ? QStringLiteral("not classed: ") + QString::fromStdString(c.words)
            : markWord(mark) + (why.isEmpty() ? QString() : QStringLiteral(": ") + why.join("; "));
    QTableWidgetItem* v = table_->item(r, kVerdict);
    v->setText(verdict);
    v->setIcon(markIcon(mark));
    v->setForeground(markColour(mark));
    QString check;
    if (classed && c.kind != Class::Ok && c.kind != Class::Unknown)
        check = QStringLiteral("%1 Check: %2")
                    .arg(QString::fromStdString(c.words), QLatin1String(checkOf(c.kind)));
    else if (mark == Mark::Fail || mark == Mark::Marginal)
        check = QStringLiteral("Check: %1").arg(QLatin1String(checkOf(Class::Slow)));
    table_->item(r, kCheck)->setText(check);
    map_->mark(r, mark, QStringLiteral("R%1 %2\n%3").arg(r).arg(markWord(mark), kind),
               QStringLiteral("R%1: %2, %3").arg(r).arg(kind, verdict));
}

// The figures' columns fit their contents, once per update: a header that fits every cell as
// it changes costs more than the rest of the update.
void DiagnosePanel::fitColumns() {
    for (int col = kRelay; col <= kBounces; ++col)
        table_->resizeColumnToContents(col);
}

void DiagnosePanel::finished(const DiagnosisReport& report) {
    clock_->stop();
    report_ = report;
    const bool cutShort = report.failure == kDiagnosisCutShort;
    // Only a diagnosis that came to its map has classes; before that, the figures timed stand
    // as measured, the rest as not timed.
    const bool classed = report.failure.empty();
    int timed = 0;
    for (const ChannelDiagnosis& c : report.channels) {
        if (classed || timed_[c.relay])
            showChannel(c, classed, followed_[c.relay]);
        timed += timed_[c.relay] ? 1 : 0;
    }
    if (!classed)
        for (int r = 0; r < 16; ++r)
            if (table_->item(r, kClass)->text() == QLatin1String("timed"))
                table_->item(r, kClass)->setText(QStringLiteral("timed, not classed"));
    bar_->setValue(report.passed() || classed ? bar_->maximum() : bar_->value());
    tell(phase_, cutShort  ? QStringLiteral("cut short; every relay open")
                 : classed ? QStringLiteral("done; every relay open")
                           : QStringLiteral("could not finish; every relay open"));
    showTime();

    QStringList details;
    for (const ChannelDiagnosis& c : report.channels) {
        const QString check = table_->item(c.relay, kCheck)->text();
        if (!check.isEmpty())
            details << QStringLiteral("R%1: %2").arg(c.relay).arg(check);
    }
    const int failing = countFigures(report, Verdict::Fail);
    const int marginal = countFigures(report, Verdict::Marginal);
    if (report.passed())
        showOutcome(marginal ? Mark::Marginal : Mark::Pass,
                    marginal == 0 ? QStringLiteral("PASS: card %1").arg(card_)
                                  : QStringLiteral("PASS with %1 figure%2 marginal: card %3")
                                        .arg(marginal)
                                        .arg(marginal == 1 ? "" : "s")
                                        .arg(card_),
                    details.join(QLatin1Char('\n')));
    else if (!classed)
        showOutcome(Mark::Fail,
                    QStringLiteral("FAIL: card %1, %2: %3 of 16 relays timed, none classed")
                        .arg(card_, cutShort ? QStringLiteral("cut short")
                                             : QStringLiteral("the diagnosis could not finish (%1)")
                                                   .arg(QString::fromStdString(report.failure)))
                        .arg(timed),
                    details.join(QLatin1Char('\n')));
    else
        showOutcome(
            Mark::Fail,
            QStringLiteral("FAIL: card %1, %2 figure%3 past %4 limit%3")
                    .arg(card_)
                    .arg(failing)
                    .arg(failing == 1 ? "" : "s")
                    .arg(failing == 1 ? "its" : "their") +
                [&] {
                    int bad = 0;
                    for (const ChannelDiagnosis& c : report.channels)
                        bad += c.kind != Class::Ok ? 1 : 0;
                    return bad == 0 ? QString()
                                    : QStringLiteral(", %1 channel%2 not ok")
                                          .arg(bad)
                                          .arg(bad == 1 ? "" : "s");
                }(),
            details.join(QLatin1Char('\n')));
    setRunning(false);
    fitColumns();
    emit diagnosed(card_);
}

void DiagnosePanel::refused(const QString& words) {
    clock_->stop();
    tell(phase_, QStringLiteral("not started"));
    showOutcome(Mark::None, QStringLiteral("Not diagnosed: ") + words, {});
    emit said(words);
    setRunning(false);
}

void DiagnosePanel::showOutcome(Mark mark, const QString& words, const QString& details) {
    outcome_->setText(words);
    outcome_->setAccessibleDescription(words);
    QPalette p = outcome_->palette();
    p.setColor(QPalette::WindowText, markColour(mark));
    outcome_->setPalette(p);
    outcomeIcon_->setPixmap(markIcon(mark).pixmap(40, 40));
    details_->setText(details);
    details_->setAccessibleDescription(details);
}

void DiagnosePanel::chooseDevice() {
    // The loop's own chooser, on the entries the program offers; what opens there is let go
    // at once and opened again by the diagnosis, with the settings picked.
    auto card = std::make_shared<DeviceSelectingCard>(standardDeviceEntries(sources_));
    card->setCardId(cardId_->text().trimmed());
    if (!card->SelectDevice())
        return;
    if (validCardId(card->cardId()))
        cardId_->setText(card->cardId());
    card->closeKeepingChoice();
    card->setChooserShown(false);
    chosen_ = card;
    device_->setText(card->preselectedName());
    cardId_->setFocus();
}

void DiagnosePanel::chooseLimits() {
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("The card type's limits"), QString(),
                                     QStringLiteral("Limits (*.ini *.conf);;All files (*)"),
                                     nullptr, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;
    Limits read;
    std::string why;
    if (!readLimits(path.toStdString(), read, why)) {
        emit said(QString::fromStdString(why));
        return;
    }
    limits_ = read;
    tell(limitsText_, limitsLine(limits_));
}

void DiagnosePanel::saveReport() {
    if (!report_)
        return;
    QFileDialog dialog(this, QStringLiteral("Save the diagnosis of card %1").arg(card_));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const QStringList filters{QStringLiteral("Web page (*.html)"), QStringLiteral("JSON (*.json)"),
                              QStringLiteral("JUnit XML (*.xml)")};
    dialog.setNameFilters(filters);
    dialog.selectFile(card_ + QStringLiteral("-diagnosis.html"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString path = dialog.selectedFiles().front();
    // The kind by the name's ending, else by the filter chosen.
    DiagnosisFile kind = filters.indexOf(dialog.selectedNameFilter()) == 1   ? DiagnosisFile::Json
                         : filters.indexOf(dialog.selectedNameFilter()) == 2 ? DiagnosisFile::JUnit
                                                                             : DiagnosisFile::Html;
    if (path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
        kind = DiagnosisFile::Json;
    else if (path.endsWith(QLatin1String(".xml"), Qt::CaseInsensitive))
        kind = DiagnosisFile::JUnit;
    else if (path.endsWith(QLatin1String(".html"), Qt::CaseInsensitive) ||
             path.endsWith(QLatin1String(".htm"), Qt::CaseInsensitive))
        kind = DiagnosisFile::Html;
    QString why;
    emit said(saveDiagnosis(path, kind, *report_, why)
                  ? QStringLiteral("Saved the diagnosis of card %1 in %2").arg(card_, path)
                  : QStringLiteral("Cannot write %1: %2").arg(path, why));
}
