#include "card/DeviceEntry.h"

#include <QSpinBox>

QWidget* DeviceEntry::createOptions(QWidget*) {
    return nullptr;
}

bool DeviceEntry::takeSpec(const DeviceSpec&) {
    return false;
}

QSpinBox* settingSpinBox(QWidget* page, const char* name, int min, int max, int value) {
    auto* s = new QSpinBox(page);
    s->setObjectName(QString::fromLatin1(name));
    s->setRange(min, max);
    s->setValue(value);
    return s;
}
