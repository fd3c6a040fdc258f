#include "window/Frame.h"

#include <QPaintEvent>
#include <QPainter>

Frame::Frame(const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent) {}

void Frame::paintEvent(QPaintEvent* event) {
    // A box inside the frame that changes repaints the frame behind it, many times a second
    // in auto mode: draw only what lies in the exposed area.
    const QRect exposed = event->rect();
    const QFontMetrics fm(font());
    const QRect box = rect().adjusted(0, fm.height() / 2, -1, -1);
    const QRect caption(6, 0, fm.horizontalAdvance(title()) + 4, fm.height());
    const bool onBorder = !box.adjusted(2, 2, -2, -2).contains(exposed);
    const bool onCaption = !title().isEmpty() && caption.intersects(exposed);
    if (!onBorder && !onCaption)
        return;

    QPainter p(this);
    if (onBorder) {
        // Etched: a shadow line with a highlight line one pixel inside it.
        p.setPen(palette().color(QPalette::Mid));
        p.drawRect(box.adjusted(0, 0, -1, -1));
        p.setPen(palette().color(QPalette::Light));
        p.drawRect(box.adjusted(1, 1, 0, 0));
    }
    if (onCaption) {
        p.fillRect(caption, palette().color(QPalette::Window));
        p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::WindowText));
        p.drawText(caption, Qt::AlignCenter, title());
    }
}
