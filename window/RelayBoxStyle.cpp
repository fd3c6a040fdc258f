#include "window/RelayBoxStyle.h"

#include <QStyleOptionButton>

const QColor RelayBoxStyle::kTickedFace(0x2F, 0x5D, 0x8A);
const QColor RelayBoxStyle::kTickedFaceDisabled(0x4A, 0x74, 0x9C);

RelayBoxStyle::RelayBoxStyle(QStyle* base)
    : QProxyStyle(base) {}

void RelayBoxStyle::drawControl(ControlElement element, const QStyleOption* option,
                                QPainter* painter, const QWidget* widget) const {
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (element != CE_PushButton || !button || !(button->state & State_On))
        return QProxyStyle::drawControl(element, option, painter, widget);
    QStyleOptionButton ticked = *button;
    ticked.palette = tickedPalette(button->palette, button->state & State_Enabled);
    QProxyStyle::drawControl(element, &ticked, painter, widget);
}

const QPalette& RelayBoxStyle::tickedPalette(const QPalette& from, bool enabled) const {
    if (from.cacheKey() != sourceKey_) {
        sourceKey_ = from.cacheKey();
        for (int e = 0; e < 2; ++e) {
            QPalette& p = ticked_[e];
            p = from;
            p.setColor(QPalette::Button, e ? kTickedFace : kTickedFaceDisabled);
            p.setColor(QPalette::ButtonText, Qt::white);
            p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xD8, 0xE2, 0xEC));
        }
    }
    return ticked_[enabled ? 1 : 0];
}
