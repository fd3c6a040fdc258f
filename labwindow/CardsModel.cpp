#include "labwindow/CardsModel.h"

#include "labwindow/Marks.h"

void CardsModel::setCards(std::vector<CardSummary> cards) {
    beginResetModel();
    cards_ = std::move(cards);
    endResetModel();
}

int CardsModel::rowOf(const QString& card) const {
    const QString wanted = card.trimmed();
    for (std::size_t i = 0; i < cards_.size(); ++i)
        if (cards_[i].card.compare(wanted, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    return -1;
}

int CardsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(cards_.size());
}

int CardsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CardsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kNames[] = {
        "Card",      "Last run",        "PC",   "By", "Ended", "Verdict", "Runs",
        "Diagnoses", "Most used relay", "Flags"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return {};
    return QString::fromLatin1(kNames[section]);
}

QVariant CardsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const CardSummary& c = cards_[index.row()];
    const LabDatabase::Run* last = c.last ? &*c.last : nullptr;
    const Mark verdict = last ? markOfRun(*last) : Mark::None;
    const Mark flags = c.flags > 0 ? Mark::Fail : Mark::Pass;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        switch (index.column()) {
        case Card:
            return c.card;
        case LastRun:
            return last ? last->started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                        : QStringLiteral("never run");
        case Pc:
            return last ? last->host : QString();
        case Operator:
            return last ? last->operatorName : QString();
        case Ending:
            return last ? last->ending : QString();
        case Verdict:
            return last ? verdictWords(*last) : QString();
        case Runs:
            return QString::number(c.runs);
        case Diagnoses:
            return QString::number(c.diagnoses);
        case Life:
            return c.lifeRelay < 0 ? QStringLiteral("-")
                                   : QStringLiteral("R%1: %2%")
                                         .arg(c.lifeRelay)
                                         .arg(c.lifeUsed, 0, 'f', c.lifeUsed < 10 ? 2 : 1);
        case Flags:
            return c.flags == 0 ? QStringLiteral("none")
                                : QStringLiteral("%1: %2").arg(c.flags).arg(c.firstFlag);
        }
        break;
    case Qt::ToolTipRole:
        if (index.column() == Flags && c.flags > 0)
            return c.firstFlag;
        break;
    case Qt::DecorationRole:
        if (index.column() == Verdict && last)
            return markIcon(verdict);
        if (index.column() == Flags)
            return markIcon(flags);
        break;
    case Qt::ForegroundRole:
        if (index.column() == Verdict && last)
            return markColour(verdict);
        if (index.column() == Flags)
            return markColour(flags);
        break;
    case Qt::UserRole: // what the column sorts by
        switch (index.column()) {
        case LastRun:
            return last ? last->started : QDateTime();
        case Runs:
            return qint64(c.runs);
        case Diagnoses:
            return c.diagnoses;
        case Life:
            return c.lifeUsed;
        case Flags:
            return c.flags;
        default:
            return data(index, Qt::DisplayRole);
        }
    }
    return {};
}
