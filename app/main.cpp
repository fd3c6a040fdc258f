#include "card/DeviceSelectingCard.h"
#include "window/LoopTest.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("looptest"));
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);

    DeviceSelectingCard tak(standardDeviceEntries());
    LoopTest window(tak);
    QObject::connect(&window, &LoopTest::programEnded, &app, [] { QCoreApplication::exit(0); });

    window.Form_Load();
    if (window.isEnded())
        return 0;
    window.show();
    return QApplication::exec();
}
