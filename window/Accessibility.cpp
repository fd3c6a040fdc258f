#include "window/Accessibility.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QGroupBox>
#include <QLabel>

namespace {

template <class T> T* child(QWidget* window, const QString& name) {
    return window->findChild<T*>(name);
}

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

} // namespace

void describeForScreenReaders(QWidget* w) {
    for (int i = 0; i < 16; ++i) {
        describeBox(child<QAbstractButton>(w, QStringLiteral("R16(%1)").arg(i)),
                    QStringLiteral("Relay %1").arg(i), "closed", "open");
        describeBox(child<QAbstractButton>(w, QStringLiteral("P16(%1)").arg(i)),
                    QStringLiteral("Input %1").arg(i), "active", "inactive");
        auto* errors = child<QLabel>(w, QStringLiteral("errLb(%1)").arg(i));
        // The counters put their count after this name as they change.
        errors->setProperty("accessibleCounter", QStringLiteral("Errors of relay %1").arg(i));
        errors->setAccessibleName(
            QStringLiteral("Errors of relay %1: %2").arg(i).arg(errors->text()));
        errors->setAccessibleDescription(
            QStringLiteral("Mismatches and failed writes counted against relay %1, wired to "
                           "input %2")
                .arg(i)
                .arg(15 - i));
    }
    auto* loops = child<QLabel>(w, QStringLiteral("Label2"));
    loops->setProperty("accessibleCounter", QStringLiteral("Loop count"));
    loops->setAccessibleName(QStringLiteral("Loop count: ") + loops->text());
    loops->setAccessibleDescription(QStringLiteral("Relay writes read back so far"));
    describeBar(child<QAbstractSlider>(w, QStringLiteral("VScroll1")), "Set speed",
                "The auto step period in milliseconds, 20 to 10000");
    describeBar(child<QAbstractSlider>(w, QStringLiteral("VScroll2")), "Get speed",
                "The read-back delay after each relay write in milliseconds, 5 to 500");

    const struct {
        const char* control;
        const char* name; // empty: the control's own caption
        const char* description;
    } fixed[] = {
        {"Command1", "", "Opens every relay and ends the program"},
        {"autoCmd", "", "Starts or stops walking one closed relay through all sixteen channels"},
        {"resetCmd", "", "Clears the loop count and the error counts, in manual mode"},
        {"matchLb", "Verdict", "Shows Error!!! after a read-back with a mismatch or a failed read"},
        {"Label1", "", "Labels the loop count"},
        {"setspeedLb", "Set speed", "The auto step period in milliseconds"},
        {"getspeedLb", "Get speed", "The read-back delay in milliseconds"},
        {"Frame1", "", "The photo inputs P0 to P15, as last read back"},
        {"Frame2", "", "The relays R0 to R15; click one to switch it"},
        {"Frame3", "", "The auto step period"},
        {"Frame4", "", "The read-back delay"},
        {"Frame5", "", "Errors counted against each relay"},
    };
    for (const auto& f : fixed) {
        QWidget* c = child<QWidget>(w, QString::fromLatin1(f.control));
        QString name = QString::fromLatin1(f.name);
        if (name.isEmpty()) {
            if (auto* b = qobject_cast<QAbstractButton*>(c))
                name = b->text();
            else if (auto* l = qobject_cast<QLabel*>(c))
                name = l->text();
            else if (auto* g = qobject_cast<QGroupBox*>(c))
                name = g->title();
        }
        c->setAccessibleName(name);
        c->setAccessibleDescription(QLatin1String(f.description));
    }
    w->setAccessibleName(w->windowTitle());
    w->setAccessibleDescription(
        QStringLiteral("Tests a card of 16 relays wired back to 16 inputs"));
}
