#pragma once

#include "app/CommandLine.h"
#include "card/Backend.h"
#include "diagnosis/Diagnosis.h"
#include "labwindow/Marks.h"

#include <QElapsedTimer>
#include <QWidget>

#include <array>
#include <memory>
#include <optional>

class DeviceSelectingCard;
class DiagnosisJob;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSpinBox;
class QTableWidget;
class QTimer;
class RelayMap;

// A diagnosis of a card from the lab window: the device (a device spec, or one picked in the
// chooser), the card's ID (typed or scanned; Enter starts), the operator, the limits, repeats
// and read-back delay; then its progress (the phase, a bar that counts every step however it
// went, the time gone and a bound of the time left), each relay's figures and their verdicts
// as it is timed, on a table and a map of the relays, and the outcome in words, icon and
// colour with what to check, which stays until the next card's diagnosis starts. Cancel (or
// Esc) ends it as SIGINT ends --diagnose. The diagnosis is kept as --diagnose keeps it, and
// "Save report..." writes its HTML, JSON or JUnit file.
class DiagnosePanel : public QWidget {
    Q_OBJECT
public:
    explicit DiagnosePanel(const Options& options, QWidget* parent = nullptr);
    ~DiagnosePanel() override;

    // Puts a card's ID in the field and the focus there, ready for Enter.
    void prepare(const QString& card);
    // Starts a diagnosis with what the fields hold; false with the reason said when it cannot.
    bool start();
    void cancel();
    bool running() const;
    // Ends a diagnosis still running, waiting up to ms for its relays to open.
    void stop(int ms);
    // Where the devices come from (a test's stand-ins); the program's own by default.
    void setDeviceSources(const DeviceSources& sources) { sources_ = sources; }
    // The last diagnosis's report, once it ended.
    const std::optional<DiagnosisReport>& report() const { return report_; }

signals:
    // What a person should read (the reason a diagnosis did not start, a report saved).
    void said(const QString& words);
    // A diagnosis of card ended and was kept.
    void diagnosed(const QString& card);

private:
    void chooseDevice();
    void chooseLimits();
    void clearResults();
    void setRunning(bool on);
    void stepped(const DiagnosisStep& step);
    // classed: the diagnosis came to its classes; followed: the relay's own input followed it.
    void showChannel(const ChannelDiagnosis& c, bool classed, bool followed = true);
    void fitColumns();
    void finished(const DiagnosisReport& report);
    void refused(const QString& words);
    void showTime();
    void saveReport();
    void showOutcome(Mark mark, const QString& words, const QString& details);

    Options options_;
    Limits limits_;
    DeviceSources sources_;
    std::shared_ptr<DeviceSelectingCard> chosen_; // a device picked in the chooser
    DiagnosisJob* job_;
    std::optional<DiagnosisReport> report_;
    DiagnosisStep step_;
    QElapsedTimer began_, stepBegan_;
    QTimer* clock_;
    QString card_;                    // of the diagnosis running or shown
    std::array<bool, 16> timed_{};    // relays timed so far
    std::array<bool, 16> followed_{}; // whose own input followed them

    QLineEdit* device_;
    QPushButton* choose_;
    QLineEdit* cardId_;
    QLineEdit* operator_;
    QLabel* limitsText_;
    QPushButton* limitsButton_;
    QSpinBox* repeat_;
    QSpinBox* readback_;
    QPushButton* start_;
    QPushButton* cancel_;
    QShortcut* esc_;
    QPushButton* save_;
    QLabel* phase_;
    QProgressBar* bar_;
    QLabel* time_;
    QLabel* outcome_;
    QLabel* outcomeIcon_;
    QLabel* details_;
    RelayMap* map_;
    QTableWidget* table_;
};
