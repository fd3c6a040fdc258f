#include "app/Privileges.h"
#include "card/DeviceSelectingCard.h"
#include "window/AppSetup.h"
#include "window/LoopTest.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    // First of all, before Qt reads its environment or loads a plugin.
    std::string why;
    if (!giveUpPrivileges(why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 77;
    }

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
