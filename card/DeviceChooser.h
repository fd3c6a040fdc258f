#pragma once

#include "card/CardId.h"

#include "card/DeviceEntry.h"

#include <QDialog>

#include <memory>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStackedWidget;

// The card control's own modal device chooser. It lists the entries, preselects the first one
// that can be opened now, and accepts only when the chosen device opened; a device that fails
// to open says why in the chooser, which stays up for another choice.
class DeviceChooser : public QDialog {
    Q_OBJECT
public:
    // preselect names the entry to start on; -1 picks the first that can be opened now.
    DeviceChooser(const std::vector<std::unique_ptr<DeviceEntry>>& entries,
                  QWidget* parent = nullptr, int preselect = -1);

    // The opened device after the dialog was accepted; nullptr otherwise.
    std::unique_ptr<PortDevice> takeDevice() { return std::move(device_); }
    // The index of the entry that opened, or -1.
    int openedEntry() const { return opened_; }
    // A line shown under the list, such as where the run will be recorded; empty: none.
    void setNote(const QString& note);
    // The ID of the card tested (the serial on its label), as the user left it; empty: none.
    void setCardId(const QString& id);
    QString cardId() const;

private:
    void tryOpen();
    void showStatus();

    const std::vector<std::unique_ptr<DeviceEntry>>& entries_;
    QListWidget* list_ = nullptr;
    QStackedWidget* options_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* note_ = nullptr;
    QLineEdit* card_ = nullptr;
    QPushButton* openButton_ = nullptr;
    std::unique_ptr<PortDevice> device_;
    int opened_ = -1;
};
