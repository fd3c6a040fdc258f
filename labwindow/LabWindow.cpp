#include "labwindow/LabWindow.h"

#include "labwindow/CardView.h"
#include "labwindow/CardsModel.h"
#include "labwindow/DiagnosePanel.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace {

const QString kWaiting = QStringLiteral("waiting for the database");

// A label that says how things stand: its words are its accessible description too, under
// a name that stays put.
void tell(QLabel* label, const QString& words) {
    label->setText(words);
    label->setAccessibleDescription(words);
}

QLabel* placeholder(QWidget* parent) {
    auto* label = new QLabel(parent);
    tell(label, kWaiting);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

namespace {

// What a diagnosis from this window takes: the lab it reads, the limits it judges by.
Options diagnosisOptions(Options options, const QString& url, const Limits& limits) {
    options.labDb = url.toStdString();
    options.judgedBy = limits;
    return options;
}

} // namespace

LabWindow::LabWindow(const QString& url, const Limits& limits, int lastRuns, QWidget* parent,
                     const Options& options)
    : QMainWindow(parent)
    , reader_(url, lastRuns, limits) {
    setWindowTitle(QStringLiteral("looptest lab"));
    setObjectName(QStringLiteral("labWindow"));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    // The field a person types a card's ID in, or a scanner types it and presses Enter.
    auto* findRow = new QHBoxLayout;
    auto* findLabel = new QLabel(QStringLiteral("Card &ID:"), central);
    find_ = new QLineEdit(central);
    find_->setPlaceholderText(QStringLiteral("type or scan a card's ID; Enter opens it"));
    find_->setAccessibleName(QStringLiteral("Card ID"));
    find_->setClearButtonEnabled(true);
    findLabel->setBuddy(find_);
    findRow->addWidget(findLabel);
    findRow->addWidget(find_, 1);
    diagnoseButton_ = new QPushButton(QStringLiteral("Dia&gnose…"), central);
    diagnoseButton_->setAccessibleName(QStringLiteral("Diagnose…"));
    diagnoseButton_->setToolTip(QStringLiteral("Diagnose a card on a device (Ctrl+D)"));
    findRow->addWidget(diagnoseButton_);
    layout->addLayout(findRow);

    tabs_ = new QTabWidget(central);
    tabs_->setAccessibleName(QStringLiteral("Lab"));
    layout->addWidget(tabs_, 1);

    // Cards.
    auto* cards = new QWidget(tabs_);
    auto* cardsLayout = new QVBoxLayout(cards);
    count_ = new QLabel(cards);
    count_->setAccessibleName(QStringLiteral("Cards count"));
    cardsLayout->addWidget(count_);
    cardsPage_ = new QStackedWidget(cards);
    cardsWaiting_ = placeholder(cardsPage_);
    cardsWaiting_->setAccessibleName(QStringLiteral("Cards state"));
    model_ = new CardsModel(this);
    sorted_ = new QSortFilterProxyModel(this);
    sorted_->setSourceModel(model_);
    sorted_->setSortRole(Qt::UserRole);
    sorted_->setFilterKeyColumn(CardsModel::Card);
    sorted_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    table_ = new QTableView(cardsPage_);
    table_->setModel(sorted_);
    table_->setObjectName(QStringLiteral("cards"));
    table_->setAccessibleName(QStringLiteral("Cards"));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setTabKeyNavigation(false);
    table_->setWordWrap(false);
    // The flagged first, then by the last run, until a person sorts by a column.
    table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    table_->setSortingEnabled(true);
    cardsPage_->addWidget(cardsWaiting_);
    cardsPage_->addWidget(table_);
    cardsLayout->addWidget(cardsPage_, 1);
    tabs_->addTab(cards, QStringLiteral("&Cards"));

    // One card.
    cardPage_ = new QStackedWidget(tabs_);
    cardWaiting_ = placeholder(cardPage_);
    tell(cardWaiting_, QStringLiteral("Open a card: type or scan its ID above, or pick it "
                                      "in the list of cards."));
    cardWaiting_->setAccessibleName(QStringLiteral("Card state"));
    view_ = new CardView(limits, cardPage_);
    cardPage_->addWidget(cardWaiting_);
    cardPage_->addWidget(view_);
    tabs_->addTab(cardPage_, QStringLiteral("C&ard"));

    // The lab's records on this PC.
    auto* records = new QWidget(tabs_);
    auto* form = new QFormLayout(records);
    database_ = new QLabel(reader_.where(), records);
    database_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    database_->setAccessibleName(QStringLiteral("Database"));
    form->addRow(QStringLiteral("Database:"), database_);
    state_ = new QLabel(records);
    tell(state_, kWaiting);
    state_->setWordWrap(true);
    state_->setAccessibleName(QStringLiteral("Database state"));
    form->addRow(QStringLiteral("State:"), state_);
    queued_ = new QLabel(records);
    queued_->setAccessibleName(QStringLiteral("Waiting runs"));
    form->addRow(QStringLiteral("On this PC:"), queued_);
    queue_ = new QListWidget(records);
    queue_->setAccessibleName(QStringLiteral("Runs waiting on this PC"));
    form->addRow(queue_);
    deliver_ = new QPushButton(QStringLiteral("&Deliver now"), records);
    deliver_->setAccessibleName(QStringLiteral("Deliver now"));
    deliver_->setAccessibleDescription(
        QStringLiteral("Delivers the runs that wait on this PC, as looptest --lab-sync does"));
    form->addRow(deliver_);
    notes_ = new QListWidget(records);
    notes_->setAccessibleName(QStringLiteral("Warnings"));
    form->addRow(QStringLiteral("Warnings:"), notes_);
    tabs_->addTab(records, QStringLiteral("&Records"));

    // A diagnosis, run from here.
    diagnosis_ = new DiagnosePanel(diagnosisOptions(options, url, limits), tabs_);
    tabs_->addTab(diagnosis_, QStringLiteral("Diagn&osis"));

    setCentralWidget(central);
    statusBar()->showMessage(kWaiting);
    resize(1180, 860);

    connect(find_, &QLineEdit::textChanged, sorted_, &QSortFilterProxyModel::setFilterFixedString);
    connect(find_, &QLineEdit::returnPressed, this, &LabWindow::openTyped);
    connect(table_, &QTableView::activated, this, [this](const QModelIndex& index) {
        openCard(sorted_->data(sorted_->index(index.row(), CardsModel::Card)).toString());
    });
    connect(deliver_, &QPushButton::clicked, this, [this] {
        deliver_->setEnabled(false);
        say(QStringLiteral("Delivering the runs that wait on this PC…"));
        reader_.deliverNow();
    });
    connect(view_, &CardView::said, this, &LabWindow::say);
    connect(view_, &CardView::diagnoseAsked, this, &LabWindow::diagnose);
    connect(diagnoseButton_, &QPushButton::clicked, this, [this] { diagnose(find_->text()); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_D), this), &QShortcut::activated, this,
            [this] { diagnose(find_->text()); });
    connect(diagnosis_, &DiagnosePanel::said, this, [this](const QString& words) {
        say(words);
        note(words);
    });
    // Ctrl+L (and F6) back to the field, from anywhere in the window: the next card's ID.
    for (const QKeySequence& keys : {QKeySequence(Qt::CTRL | Qt::Key_L), QKeySequence(Qt::Key_F6)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, [this] {
            find_->setFocus();
            find_->selectAll();
        });

    connect(&reader_, &LabReader::labRead, this, &LabWindow::labRead);
    connect(&reader_, &LabReader::cardRead, this, &LabWindow::cardRead);
    connect(&reader_, &LabReader::answering, this, &LabWindow::answering);
    connect(&reader_, &LabReader::queueRead, this, &LabWindow::queueRead);
    connect(&reader_, &LabReader::delivered, this,
            [this](const QStringList& lines, int delivered, int still) {
                for (const QString& line : lines)
                    note(line);
                deliver_->setEnabled(true);
                say(QStringLiteral("%1 run%2 delivered, %3 still wait on this PC")
                        .arg(delivered)
                        .arg(delivered == 1 ? "" : "s")
                        .arg(still));
            });
    reader_.start();
    find_->setFocus();
}

LabWindow::~LabWindow() {
    diagnosis_->stop(-1);
    reader_.stop();
}

void LabWindow::closeEvent(QCloseEvent* event) {
    // A diagnosis still running ends as if cancelled: every relay open, its record cut short.
    diagnosis_->stop(-1);
    reader_.stop();
    event->accept();
}

void LabWindow::diagnose(const QString& card) {
    tabs_->setCurrentWidget(diagnosis_);
    diagnosis_->prepare(card.trimmed());
}

void LabWindow::openTyped() {
    const QString typed = find_->text().trimmed();
    find_->selectAll(); // the next scan replaces it
    if (typed.isEmpty())
        return;
    int row = model_->rowOf(typed);
    QString card = row >= 0 ? model_->cards()[row].card : typed;
    // A part of an ID that leaves one card in the list opens that card.
    if (row < 0 && sorted_->rowCount() == 1)
        card = sorted_->data(sorted_->index(0, CardsModel::Card)).toString();
    openCard(card);
}

void LabWindow::openCard(const QString& card) {
    card_ = card;
    cardShown_ = false;
    tell(cardWaiting_, kWaiting);
    cardPage_->setCurrentWidget(cardWaiting_);
    tabs_->setCurrentWidget(cardPage_);
    reader_.follow(card);
}

void LabWindow::labRead(const LabReading& reading) {
    const QString selected =
        table_->currentIndex().isValid()
            ? sorted_->data(sorted_->index(table_->currentIndex().row(), CardsModel::Card))
                  .toString()
            : QString();
    int flagged = 0;
    for (const CardSummary& c : reading.summaries)
        flagged += c.flags > 0;
    model_->setCards(reading.summaries);
    if (!listed_) { // the columns fit what the first reading holds (its first rows)
        table_->horizontalHeader()->setResizeContentsPrecision(100);
        table_->resizeColumnsToContents();
    }
    listed_ = true;
    tell(count_, QStringLiteral("%1 card%2 in the lab, %3 flagged")
                     .arg(model_->rowCount())
                     .arg(model_->rowCount() == 1 ? "" : "s")
                     .arg(flagged));
    if (model_->rowCount() == 0) {
        tell(cardsWaiting_, QStringLiteral("The lab database has no card yet: a run with "
                                           "--card ID, or a card ID typed in the window, "
                                           "adds it."));
        cardsPage_->setCurrentWidget(cardsWaiting_);
    } else {
        cardsPage_->setCurrentWidget(table_);
    }
    if (!selected.isEmpty())
        if (const int row = model_->rowOf(selected); row >= 0)
            table_->setCurrentIndex(sorted_->mapFromSource(model_->index(row, 0)));
}

void LabWindow::cardRead(const LabReading& reading) {
    if (reading.card != card_)
        return;
    if (!reading.known) {
        cardShown_ = false;
        tell(cardWaiting_, QStringLiteral("The lab database knows no card %1.").arg(reading.card));
        cardPage_->setCurrentWidget(cardWaiting_);
        return;
    }
    cardShown_ = true;
    view_->show(reading.history);
    cardPage_->setCurrentWidget(view_);
}

void LabWindow::answering(bool answers, const QDateTime& since, const QString& why) {
    if (answers) {
        tell(state_, QStringLiteral("answers"));
        statusBar()->showMessage(QStringLiteral("Lab database %1").arg(reader_.where()));
        return;
    }
    const QString words =
        QStringLiteral("%1: not answering since %2: %3")
            .arg(kWaiting, since.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), why);
    tell(state_, words);
    statusBar()->showMessage(words);
    // What has been read stays; where nothing has, the placeholder says why.
    if (!listed_) {
        tell(cardsWaiting_, words);
        cardsPage_->setCurrentWidget(cardsWaiting_);
    }
    if (!card_.isEmpty() && !cardShown_) {
        tell(cardWaiting_, words);
        cardPage_->setCurrentWidget(cardWaiting_);
    }
}

void LabWindow::queueRead(const std::vector<QueuedRun>& runs) {
    tell(queued_, runs.empty() ? QStringLiteral("no run waits")
                               : QStringLiteral("%1 run%2 wait%3 to reach the database")
                                     .arg(runs.size())
                                     .arg(runs.size() == 1 ? "" : "s")
                                     .arg(runs.size() == 1 ? "s" : ""));
    QStringList lines;
    for (const QueuedRun& run : runs)
        lines << QStringLiteral("card %1, started %2%3 (%4)")
                     .arg(run.card.isEmpty() ? QStringLiteral("?") : run.card,
                          run.started.isEmpty() ? QStringLiteral("?") : run.started,
                          run.damage.isEmpty() ? QString() : QStringLiteral("; ") + run.damage,
                          run.file);
    QStringList shown;
    for (int i = 0; i < queue_->count(); ++i)
        shown << queue_->item(i)->text();
    if (shown != lines) {
        queue_->clear();
        queue_->addItems(lines);
    }
}

void LabWindow::note(const QString& words) {
    notes_->addItem(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss ")) + words);
    notes_->scrollToBottom();
}

void LabWindow::say(const QString& words) {
    statusBar()->showMessage(words, 10000);
}
