#include "window/AppSetup.h"

#include "window/RelayBoxStyle.h"

#include <QApplication>
#include <QStyleFactory>

void setUpApplication(QApplication& app) {
    QApplication::setApplicationName(QStringLiteral("looptest"));
    // One look on every desktop, so that the window matches its design to the pixel.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(new RelayBoxStyle(fusion));
}
