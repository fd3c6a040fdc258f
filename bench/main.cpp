// Measures the program's timing, CPU, wake-ups, start-up and memory against the best this
// machine and Qt can do, and prints one table. Every figure is taken in a fresh child process
// of this same program, the window's and its baseline's side by side.
#include "Bench.h"

#include "window/AppSetup.h"

#include <QApplication>

#include <cstdio>

namespace {

using bench::Measurement;

// The measurements in the order of the table; a child is started with its measurement's name.
const Measurement* const kMeasurements[] = {
    &bench::lateness,       &bench::steps,     &bench::cpu,
    &bench::idle,           &bench::loopCost,  &bench::startup,
    &bench::memory,         &bench::headless,  &bench::logCost,
    &bench::logCpu,         &bench::logSize,   &bench::labWrite,
    &bench::labStall,       &bench::labWindow, &bench::modbus,
    &bench::roundTrip,      &bench::sampling,  &bench::diagnosis,
    &bench::diagnoseWindow, &bench::summary,
};

const Measurement* named(const QString& name) {
    for (const Measurement* m : kMeasurements)
        if (name == QLatin1String(m->name))
            return m;
    return nullptr;
}

void usage(std::FILE* to) {
    std::fprintf(to, "Usage: looptest_bench [--quick] [--x11] [--only NAME[,NAME...]]\n\n"
                     "  --quick   few samples: checks that every figure comes out, measures "
                     "nothing\n"
                     "  --x11     the window on the X server in DISPLAY (default: offscreen)\n"
                     "  --only    these measurements alone, in the table's order:\n");
    for (const Measurement* m : kMeasurements)
        std::fprintf(to, "    %-10s %s\n", m->name, m->what);
    std::fprintf(to, "  --summary-only, --helper-only   the same as --only summary, and --only "
                     "roundtrip,sampling,diagnose\n");
}

// A child: the program's children start Qt as main does; the baselines, named by the child's
// second word, as any Qt program.
int runChild(int argc, char* argv[], const QStringList& args) {
    const Measurement* m = named(args.value(0));
    const QString which = args.value(1);
    if (which != QLatin1String("bare") && which != QLatin1String("timerfd"))
        setUpQtEnvironment();
    QApplication app(argc, argv);
    setUpApplication(app);
    if (!m || !m->child) {
        std::fprintf(stderr, "looptest_bench: no child measures \"%s\"\n",
                     qPrintable(args.value(0)));
        return 64;
    }
    m->child(args.mid(1));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.value(0) == QLatin1String("--child"))
        return runChild(argc, argv, args.mid(1));

    bool quick = false;
    QString platform = QStringLiteral("offscreen");
    QStringList only;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            usage(stdout);
            return 0;
        } else if (a == QLatin1String("--quick")) {
            quick = true;
        } else if (a == QLatin1String("--x11")) {
            platform = QStringLiteral("xcb");
        } else if (a == QLatin1String("--only") && i + 1 < args.size()) {
            only += args[++i].split(QLatin1Char(','), Qt::SkipEmptyParts);
        } else if (a == QLatin1String("--summary-only")) {
            only << QStringLiteral("summary");
        } else if (a == QLatin1String("--helper-only")) {
            only << QStringLiteral("roundtrip") << QStringLiteral("sampling")
                 << QStringLiteral("diagnose");
        } else {
            std::fprintf(stderr, "looptest_bench: unknown word \"%s\"\n", qPrintable(a));
            usage(stderr);
            return 64;
        }
    }
    for (const QString& name : only) {
        const Measurement* m = named(name);
        if (!m || !m->rows) {
            std::fprintf(stderr, "looptest_bench: --only: no measurement \"%s\"\n",
                         qPrintable(name));
            usage(stderr);
            return 64;
        }
    }
    if (platform == QLatin1String("xcb") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "looptest_bench: --x11 needs an X server in DISPLAY\n");
        return 2;
    }

    QCoreApplication app(argc, argv);
    bench::g_program = QCoreApplication::applicationFilePath();
    bench::g_platform = platform;
    for (const Measurement* m : kMeasurements)
        if (m->rows && (only.isEmpty() || only.contains(QLatin1String(m->name))))
            m->rows(quick);
    return bench::printRows(quick);
}
