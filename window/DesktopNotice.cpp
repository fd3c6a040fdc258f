#include "window/DesktopNotice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

bool notifyDesktop(const QString& summary, const QString& body) {
    // Sent without asking the bus anything first and without waiting for an answer: the
    // caller may be the loop's thread, which no bus may hold up. Where no one serves
    // notifications, the bus answers with an error nobody waits for.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    static const QString kService = QStringLiteral("org.freedesktop.Notifications");
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/Notifications"),
                                       kService, QStringLiteral("Notify"));
    call << QStringLiteral("looptest") << 0u << QStringLiteral("org.looptest.looptest") << summary
         << body << QStringList() << QVariantMap() << -1;
    return bus.send(call);
}
