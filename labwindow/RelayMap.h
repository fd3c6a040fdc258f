#pragma once

#include "labwindow/Marks.h"

#include <QWidget>

#include <array>

class QToolButton;

// A card's relays R0-R15 as tiles in two rows of eight, each marked with a verdict (word, icon
// and colour, a failure's border thicker) and its words as accessible name and tool tip. The
// tiles take the focus, and a click or Space on one chooses that relay. Compact tiles put their
// text beside the icon, for a view that has more to show below them.
class RelayMap : public QWidget {
    Q_OBJECT
public:
    explicit RelayMap(QWidget* parent = nullptr, bool compact = false);

    // text: what the tile shows under its icon; words: what it says in full.
    void mark(int relay, Mark mark, const QString& text, const QString& words);
    QToolButton* tile(int relay) const { return tiles_[relay]; }

signals:
    void chosen(int relay);

private:
    std::array<QToolButton*, 16> tiles_{};
};
