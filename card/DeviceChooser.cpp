#include "card/DeviceChooser.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QVBoxLayout>

DeviceChooser::DeviceChooser(const std::vector<std::unique_ptr<DeviceEntry>>& entries,
                             QWidget* parent, int preselect)
    : QDialog(parent)
    , entries_(entries) {
    setWindowTitle(tr("Select Device"));
    setObjectName(QStringLiteral("DeviceChooser"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Devices this card control can drive:"), this));

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("devices"));
    // A device another program holds says so, and by whom, in the list itself.
    for (const auto& entry : entries_) {
        const QString held = entry->heldBy();
        list_->addItem(held.isEmpty() ? entry->name()
                                      : tr("%1 (held by %2)").arg(entry->name(), held));
    }
    layout->addWidget(list_);

    // Each entry's own settings (the ISA base, the simulator's fault) show under the list.
    options_ = new QStackedWidget(this);
    for (const auto& entry : entries_) {
        QWidget* page = entry->createOptions(options_);
        options_->addWidget(page ? page : new QWidget(options_));
    }
    layout->addWidget(options_);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->setMinimumHeight(status_->fontMetrics().lineSpacing() * 3);
    layout->addWidget(status_);

    // Which card of its kind is tested: the serial on its label, for the run's record and the
    // card's book.
    auto* cardRow = new QHBoxLayout;
    card_ = new QLineEdit(this);
    card_->setObjectName(QStringLiteral("cardId"));
    card_->setPlaceholderText(tr("the serial on its label (optional)"));
    card_->setMaxLength(64);
    auto* cardLabel = new QLabel(tr("Card ID:"), this);
    cardLabel->setBuddy(card_);
    cardRow->addWidget(cardLabel);
    cardRow->addWidget(card_);
    layout->addLayout(cardRow);

    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("note"));
    note_->setWordWrap(true);
    note_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    note_->hide();
    layout->addWidget(note_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Open | QDialogButtonBox::Cancel, this);
    openButton_ = buttons->button(QDialogButtonBox::Open);
    openButton_->setDefault(true);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &DeviceChooser::tryOpen);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemActivated, this, &DeviceChooser::tryOpen);
    connect(list_, &QListWidget::currentRowChanged, this, &DeviceChooser::showStatus);

    // Preselect the first device that can be opened now, so that Enter starts the program on
    // whatever works on this machine.
    const bool named = preselect >= 0 && preselect < static_cast<int>(entries_.size());
    if (!named)
        preselect = entries_.empty() ? -1 : 0;
    for (int i = 0; !named && i < static_cast<int>(entries_.size()); ++i) {
        QString why;
        if (entries_[i]->probe(why)) {
            preselect = i;
            break;
        }
    }
    list_->setCurrentRow(preselect);
    openButton_->setEnabled(preselect >= 0);
    showStatus();
    resize(480, sizeHint().height());
}

void DeviceChooser::showStatus() {
    const int row = list_->currentRow();
    if (row >= 0 && row < options_->count())
        options_->setCurrentIndex(row);
    if (row < 0 || row >= static_cast<int>(entries_.size())) {
        status_->setText(entries_.empty() ? tr("No device is available.") : QString());
        return;
    }
    QString why;
    status_->setText(entries_[row]->probe(why) ? tr("Ready to open.") : why);
}

void DeviceChooser::tryOpen() {
    const int row = list_->currentRow();
    if (row < 0 || row >= static_cast<int>(entries_.size()))
        return;
    if (!cardId().isEmpty() && !validCardId(cardId())) {
        status_->setText(tr("A card's ID is 1 to 64 letters, digits, '.', '-' and '_', not "
                            "beginning with '.'."));
        return;
    }
    QString why;
    device_ = entries_[row]->open(why);
    if (!device_) {
        status_->setText(why.isEmpty() ? tr("The device could not be opened.") : why);
        return;
    }
    opened_ = row;
    accept();
}

void DeviceChooser::setCardId(const QString& id) {
    card_->setText(id);
}

QString DeviceChooser::cardId() const {
    return card_->text().trimmed();
}

void DeviceChooser::setNote(const QString& note) {
    note_->setText(note);
    note_->setVisible(!note.isEmpty());
}
