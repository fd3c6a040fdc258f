#include "window/DesktopNotice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

bool notifyDesktop(const QString& summary, const QString& body) {
    static const QString kService = QStringLiteral("org.freedesktop.Notifications");
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface* daemon = bus.isConnected() ? bus.interface() : nullptr;
    if (!daemon || (!daemon->isServiceRegistered(kService).value() &&
                    !daemon->activatableServiceNames().value().contains(kService)))
        return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/Notifications"),
                                       kService, QStringLiteral("Notify"));
    call << QStringLiteral("looptest") << 0u << QStringLiteral("org.looptest.looptest") << summary
         << body << QStringList() << QVariantMap() << -1;
    return bus.send(call);
}
