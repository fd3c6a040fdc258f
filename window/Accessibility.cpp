#include "window/Accessibility.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QGroupBox>
#include <QLabel>

void describeBox(QAbstractButton* box, const QString& name, const char* on, const char* off) {
    box->setAccessibleName(name);
    auto update = [box, name, on, off](bool checked) {
        box->setAccessibleDescription(
            QStringLiteral("%1 is %2").arg(name, QLatin1String(checked ? on : off)));
    };
    update(box->isChecked());
    QObject::connect(box, &QAbstractButton::toggled, box, update);
}

void describeBar(QAbstractSlider* bar, const char* name, const char* what) {
    auto update = [bar, name](int value) {
        bar->setAccessibleName(QStringLiteral("%1, %2 ms").arg(QLatin1String(name)).arg(value));
    };
    update(bar->value());
    bar->setAccessibleDescription(QLatin1String(what));
    QObject::connect(bar, &QAbstractSlider::valueChanged, bar, update);
}

void describeCounter(QLabel* counter, const QString& name, const QString& description) {
    // The counters put their count after this name as they change.
    counter->setProperty("accessibleCounter", name);
    counter->setAccessibleName(name + QStringLiteral(": ") + counter->text());
    counter->setAccessibleDescription(description);
}

void describe(QWidget* control, const char* name, const char* description) {
    QString words = QString::fromLatin1(name);
    if (words.isEmpty()) {
        if (auto* b = qobject_cast<QAbstractButton*>(control))
            words = b->text();
        else if (auto* l = qobject_cast<QLabel*>(control))
            words = l->text();
        else if (auto* g = qobject_cast<QGroupBox*>(control))
            words = g->title();
    }
    control->setAccessibleName(words);
    control->setAccessibleDescription(QLatin1String(description));
}
