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
    const bool enabled = button->state & State_Enabled;
    ticked.palette.setColor(QPalette::Button, enabled ? kTickedFace : kTickedFaceDisabled);
    ticked.palette.setColor(QPalette::ButtonText, Qt::white);
    ticked.palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xD8, 0xE2, 0xEC));
    QProxyStyle::drawControl(element, &ticked, painter, widget);
}
