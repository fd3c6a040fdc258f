#pragma once

#include <QString>

// Tells the person at the desktop what they should know while looking elsewhere, as a
// freedesktop notification over the session's D-Bus, sent without waiting for an answer (no
// call here blocks). False where there is no session bus; where no one serves notifications,
// nothing shows: the caller says it elsewhere as before.
bool notifyDesktop(const QString& summary, const QString& body);
