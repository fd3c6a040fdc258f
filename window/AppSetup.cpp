#include "window/AppSetup.h"

#include "window/RelayBoxStyle.h"

#include <QApplication>
#include <QStyleFactory>
#include <QtGlobal>

namespace {

// Sets a variable Qt reads at start-up, unless whoever started the program set it already.
void preferQtSetting(const char* name) {
    if (!qEnvironmentVariableIsSet(name))
        qputenv(name, "1");
}

} // namespace

void setUpQtEnvironment() {
    // Qt's own event dispatcher in place of GLib's main loop. After a long wait (a read-back
    // delay of half a second) GLib took 30 to 300 µs from the wake-up to the timer's
    // notifier, on a machine whose caches had gone cold; Qt's dispatcher goes straight from
    // poll to the notifiers. Nothing in this program needs GLib's loop.
    preferQtSetting("QT_NO_GLIB");
    // On X11, Qt hands each repaint to the server in a shared-memory segment, and before it
    // paints into that segment again it waits for the server's answer to a round trip. The
    // GUI thread sleeps in that wait, Qt's X event thread wakes it from the other core, and
    // the scheduler moves it there: once per loop, so every read-back ran on a core whose
    // caches held none of the GUI thread's work, some 20 µs later than it could. This
    // window's repaints are a few boxes, a few kilobytes; sent over the socket they need no
    // round trip and the thread stays on its core.
    preferQtSetting("QT_XCB_NO_MITSHM");
}

void setUpApplication(QApplication& app) {
    QApplication::setApplicationName(QStringLiteral("looptest"));
    // One look on every desktop, so that the window matches its design to the pixel.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(new RelayBoxStyle(fusion));
}
