#pragma once

#include "diagnosis/Limits.h"
#include "lab/History.h"
#include "lab/LabDatabase.h"

#include <QWidget>

#include <array>

class QChartView;
class QLabel;
class QPushButton;
class QTableWidget;
class QTextBrowser;
class RelayMap;

// One card's life: its flags in words (as --card-history words them), a map of its relays
// R0-R15 each marked by its latest diagnosis and its life used, each relay's operate, release
// and bounce medians over the card's diagnoses against their limits as charts, and its last
// runs. "Save page..." writes the page --card-history --html writes.
class CardView : public QWidget {
    Q_OBJECT
public:
    explicit CardView(const Limits& limits, QWidget* parent = nullptr);

    void show(const LabDatabase::History& history);
    const LabDatabase::History& history() const { return history_; }
    const Limits& limits() const { return limits_; }
    // Writes the card's page to path; false with why.
    bool savePage(const QString& path, QString& why) const;

signals:
    // What a person should read of what the view did (a page saved, or why not).
    void said(const QString& words);
    // "Diagnose this card..." was pressed.
    void diagnoseAsked(const QString& card);

private:
    void showRelay(int relay);
    void askAndSave();

    Limits limits_;
    LabDatabase::History history_;
    std::array<RelayTrend, 16> trends_{};
    QLabel* title_;
    QTextBrowser* flags_;
    RelayMap* map_;
    QLabel* relay_;
    std::array<QChartView*, 3> charts_{};
    QTableWidget* runs_;
    QPushButton* save_;
    QPushButton* diagnose_;
};

// A relay's tile on the card map, in words: "R4: slow, FAIL, 2 flags, life used 12.0%".
QString tileWords(int relay, const LabDatabase::History& history, const RelayTrend& trend);
