#include "labwindow/RelayMap.h"

#include <QGridLayout>
#include <QToolButton>

RelayMap::RelayMap(QWidget* parent, bool compact)
    : QWidget(parent) {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    for (int r = 0; r < 16; ++r) {
        auto* tile = new QToolButton(this);
        tile->setToolButtonStyle(compact ? Qt::ToolButtonTextBesideIcon
                                         : Qt::ToolButtonTextUnderIcon);
        tile->setMinimumSize(compact ? QSize(96, 40) : QSize(86, 74));
        tile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        tile->setAutoRaise(false);
        tile->setFocusPolicy(Qt::StrongFocus);
        connect(tile, &QToolButton::clicked, this, [this, r] { emit chosen(r); });
        grid->addWidget(tile, r / 8, r % 8);
        tiles_[r] = tile;
        mark(r, Mark::None, QStringLiteral("R%1").arg(r), QStringLiteral("R%1").arg(r));
    }
}

void RelayMap::mark(int relay, Mark mark, const QString& text, const QString& words) {
    QToolButton* tile = tiles_[relay];
    tile->setIcon(markIcon(mark));
    tile->setText(text);
    const QColor c = markColour(mark);
    tile->setStyleSheet(QStringLiteral("QToolButton { color: %1; border: %2px solid %1; "
                                       "border-radius: 4px; }")
                            .arg(c.name())
                            .arg(mark == Mark::Fail ? 3 : 1));
    tile->setAccessibleName(words);
    tile->setToolTip(words);
}
