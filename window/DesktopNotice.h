#pragma once

#include <QString>

// Tells the person at the desktop what they should know while looking elsewhere, as a
// freedesktop notification over the session's D-Bus. False where the desktop has no
// notification service (no session bus, or no one serving it): the caller says it as before.
// The message is sent without waiting for an answer.
bool notifyDesktop(const QString& summary, const QString& body);
