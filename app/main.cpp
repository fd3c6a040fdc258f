#include "app/CommandLine.h"
#include "app/HeadlessRun.h"
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
        return exitstatus::kNoPermission;
    }

    // The command line is read before Qt starts, so that help, the version and every usage
    // error need no display.
    Options options;
    if (!parseCommandLine({argv + 1, argv + argc}, options, why)) {
        std::fprintf(stderr, "looptest: %s\n%s", why.c_str(), usageText().c_str());
        return exitstatus::kUsage;
    }
    switch (options.mode) {
    case Options::Mode::Help:
        std::fputs(helpText().c_str(), stdout);
        return exitstatus::kPassed;
    case Options::Mode::Version:
        std::fputs(versionText().c_str(), stdout);
        return exitstatus::kPassed;
    case Options::Mode::Headless: {
        // No display is needed or used, whatever the environment names.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        setUpApplication(app);
        return runHeadless(options, standardDeviceEntries());
    }
    case Options::Mode::Window:
        break;
    }

    QApplication app(argc, argv);
    setUpApplication(app);

    DeviceSelectingCard tak(standardDeviceEntries());
    if (options.device)
        tak.preselect(*options.device);
    LoopTest window(tak);
    QObject::connect(&window, &LoopTest::programEnded, &app, [] { QCoreApplication::exit(0); });

    window.Form_Load();
    if (window.isEnded())
        return 0;
    window.show();
    return QApplication::exec();
}
