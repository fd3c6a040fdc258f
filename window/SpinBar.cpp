#include "window/SpinBar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

SpinBar::SpinBar(QWidget* parent)
    : QAbstractSlider(parent) {
    setOrientation(Qt::Vertical);
    setFocusPolicy(Qt::StrongFocus);
}

QRect SpinBar::arrowRect(Arrow arrow) const {
    const int half = height() / 2;
    if (arrow == Arrow::Up)
        return {0, 0, width(), half};
    return {0, half, width(), height() - half};
}

SpinBar::Arrow SpinBar::arrowAt(QPoint pos) const {
    if (!rect().contains(pos))
        return Arrow::None;
    return pos.y() < height() / 2 ? Arrow::Up : Arrow::Down;
}

void SpinBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    for (Arrow arrow : {Arrow::Up, Arrow::Down}) {
        QStyleOptionButton button;
        button.initFrom(this);
        button.rect = arrowRect(arrow);
        button.state &= ~QStyle::State_HasFocus;
        const bool atLimit = arrow == Arrow::Up ? value() >= maximum() : value() <= minimum();
        if (pressed_ == arrow)
            button.state |= QStyle::State_Sunken;
        else
            button.state |= QStyle::State_Raised;
        style()->drawControl(QStyle::CE_PushButtonBevel, &button, &painter, this);

        QStyleOption glyph;
        glyph.initFrom(this);
        glyph.rect = button.rect.adjusted(3, 2, -3, -2);
        if (atLimit)
            glyph.state &= ~QStyle::State_Enabled;
        style()->drawPrimitive(arrow == Arrow::Up ? QStyle::PE_IndicatorArrowUp
                                                  : QStyle::PE_IndicatorArrowDown,
                               &glyph, &painter, this);
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(2, 2, -2, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

void SpinBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !isEnabled()) {
        event->ignore();
        return;
    }
    pressed_ = arrowAt(event->position().toPoint());
    if (pressed_ == Arrow::None)
        return;
    const SliderAction action = pressed_ == Arrow::Up ? SliderSingleStepAdd : SliderSingleStepSub;
    triggerAction(action);
    setRepeatAction(action);
    update();
}

void SpinBar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    setRepeatAction(SliderNoAction);
    pressed_ = Arrow::None;
    update();
}
