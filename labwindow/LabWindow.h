#pragma once

#include "app/CommandLine.h"
#include "diagnosis/Limits.h"
#include "labwindow/LabReader.h"

#include <QMainWindow>

class CardView;
class DiagnosePanel;
class CardsModel;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSortFilterProxyModel;
class QStackedWidget;
class QTabWidget;
class QTableView;

// The lab at a glance, for a technician at a desk: every card of the lab's database with its
// health (the flagged first), one card's life in charts, and the state of the lab's records on
// this PC. It reads the database off its own thread and stays live: a run that reaches the
// database shows without a click. A card ID typed or scanned into the field at the top, then
// Enter, opens the card. A card is diagnosed from here too (Diagnose..., Ctrl+D).
class LabWindow : public QMainWindow {
    Q_OBJECT
public:
    // options: what a diagnosis from the window starts from (the operator, the settings'
    // defaults, where records go).
    LabWindow(const QString& url, const Limits& limits, int lastRuns = 10,
              QWidget* parent = nullptr, const Options& options = {});
    ~LabWindow() override;

    // Opens a card's view (and keeps it read as the lab changes).
    void openCard(const QString& card);
    // A warning about the lab's records that used to go to the terminal alone.
    void note(const QString& words);

    // Opens the diagnosis, with card's ID in its field, ready for Enter.
    void diagnose(const QString& card);

    LabReader& reader() { return reader_; }
    DiagnosePanel& diagnosis() { return *diagnosis_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void openTyped();
    void labRead(const LabReading& reading);
    void cardRead(const LabReading& reading);
    void answering(bool answers, const QDateTime& since, const QString& why);
    void queueRead(const std::vector<QueuedRun>& runs);
    void say(const QString& words);

    LabReader reader_;
    QString card_; // the card open in its view
    bool listed_ = false, cardShown_ = false;
    QLineEdit* find_;
    QTabWidget* tabs_;
    CardsModel* model_;
    QSortFilterProxyModel* sorted_;
    QStackedWidget* cardsPage_;
    QLabel* cardsWaiting_;
    QTableView* table_;
    QLabel* count_;
    QStackedWidget* cardPage_;
    QLabel* cardWaiting_;
    CardView* view_;
    QLabel* database_;
    QLabel* state_;
    QLabel* queued_;
    QListWidget* queue_;
    QPushButton* deliver_;
    QListWidget* notes_;
    QPushButton* diagnoseButton_;
    DiagnosePanel* diagnosis_;
};
