#include "looptest/Counters.h"

#include <QLabel>
#include <QLocale>
#include <QVariant>

namespace counters {
namespace {

constexpr const char* kBaseFont = "looptestCounterFont";
constexpr int kSmallestPixelSize = 6;

// Keeps the label's own font while the text fits, and otherwise shrinks the face until it
// fits (down to a legible floor) and puts the full count in the tool tip.
void fitText(QLabel* label, std::int64_t count) {
    QVariant stored = label->property(kBaseFont);
    if (!stored.isValid()) {
        label->setProperty(kBaseFont, label->font());
        stored = label->font();
    }
    const QFont base = stored.value<QFont>();
    const QString text = label->text();
    const int room = label->contentsRect().width() - 2;

    QFont font = base;
    if (QFontMetrics(base).horizontalAdvance(text) > room) {
        int px = QFontInfo(base).pixelSize();
        while (px > kSmallestPixelSize) {
            font.setPixelSize(--px);
            if (QFontMetrics(font).horizontalAdvance(text) <= room)
                break;
        }
        label->setToolTip(QLocale(QLocale::English).toString(static_cast<qlonglong>(count)));
    } else {
        label->setToolTip(QString());
    }
    if (label->font() != font)
        label->setFont(font);
}

} // namespace

void show(QLabel* label, std::int64_t count) {
    label->setText(QString::number(static_cast<qlonglong>(count)));
    fitText(label, count);
    // A screen reader speaks the counter's name with its count.
    const QVariant name = label->property("accessibleCounter");
    if (name.isValid())
        label->setAccessibleName(name.toString() + QStringLiteral(": ") + label->text());
}

} // namespace counters
