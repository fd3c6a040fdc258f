#include "card/DeviceSelectingCard.h"
#include "window/AppSetup.h"
#include "window/LoopTest.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    setUpApplication(app);

    DeviceSelectingCard tak(standardDeviceEntries());
    LoopTest window(tak);
    QObject::connect(&window, &LoopTest::programEnded, &app, [] { QCoreApplication::exit(0); });

    window.Form_Load();
    if (window.isEnded())
        return 0;
    window.show();
    return QApplication::exec();
}
