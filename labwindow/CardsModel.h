#pragma once

#include "labwindow/CardSummary.h"

#include <QAbstractTableModel>

#include <vector>

// The lab's cards as a table: a row per card in the order summarizeLab gives; each column
// sorts by its value (Qt::UserRole), not by its words. A verdict and the flags are words and
// an icon as well as a colour.
class CardsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Card,
        LastRun,
        Pc,
        Operator,
        Ending,
        Verdict,
        Runs,
        Diagnoses,
        Life,
        Flags,
        ColumnCount
    };
    using QAbstractTableModel::QAbstractTableModel;

    void setCards(std::vector<CardSummary> cards);
    const std::vector<CardSummary>& cards() const { return cards_; }
    // The row of a card, by its ID as typed or scanned (case aside); -1 when there is none.
    int rowOf(const QString& card) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<CardSummary> cards_;
};
