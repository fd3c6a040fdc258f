#include "window/Frame.h"

#include <QPainter>

Frame::Frame(const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent) {}

void Frame::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QFontMetrics fm(font());
    const int lineY = fm.height() / 2;
    const QRect box = rect().adjusted(0, lineY, -1, -1);

    // Etched: a shadow line with a highlight line one pixel inside it.
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(box.adjusted(1, 1, 0, 0));

    if (!title().isEmpty()) {
        const QRect caption(6, 0, fm.horizontalAdvance(title()) + 4, fm.height());
        p.fillRect(caption, palette().color(QPalette::Window));
        p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::WindowText));
        p.drawText(caption, Qt::AlignCenter, title());
    }
}
