#include "card/DeviceEntry.h"

QWidget* DeviceEntry::createOptions(QWidget*) {
    return nullptr;
}

bool DeviceEntry::takeSpec(const DeviceSpec&) {
    return false;
}
