#pragma once

// What the benchmark's measurements share: the clock and statistics, a child's report to its
// parent, the parent's running of children and its table of rows, and the table of the
// measurements themselves.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace bench {

// --- Both sides ------------------------------------------------------------------------------

std::int64_t nowNs();
double percentile(std::vector<double> v, double p);
long procStatusKb(const char* key);
double cpuSeconds();
long voluntarySwitches();
// Runs the event loop for a while.
void spin(int ms);
void waitExposed(QWidget& w);

using Result = std::map<std::string, double>;

// --- A child ---------------------------------------------------------------------------------

// Prints the child's result as one line of name=value pairs for the parent.
void report(const Result& values);
// Prints the samples themselves, for the parent to pool rounds.
void reportSamples(const std::vector<double>& us);
Result latenessStats(const std::vector<double>& us);

// --- The parent ------------------------------------------------------------------------------

// This program, started again as a child, and the Qt platform its children use.
extern QString g_program;
extern QString g_platform;

struct Child {
    std::unique_ptr<QProcess> process;
    QString description;
};
// Starts this program as a child that runs the measurement args[0] with the rest of args.
Child start(const QStringList& args);
Result finish(Child& c, std::vector<double>* samples = nullptr);

// Runs the window's child and the baseline's. Timing figures run one after the other, since
// two processes waking at once on this machine's two cores disturb each other's wake-ups;
// only the idle pair, which sleeps, runs side by side.
enum class Together { No, Yes };
std::pair<Result, Result> pair(const QStringList& window, const QStringList& baseline,
                               Together together = Together::No);
// Runs the children in alternating rounds and pools what they give, so that the machine's
// slow swings in wake-up latency fall on all alike. Each round gets its share of the count
// (the last argument).
std::vector<Result> rounds(const std::vector<QStringList>& sides, int total, int n);
std::pair<Result, Result> rounds(QStringList window, QStringList baseline, int total, int n);

std::string fmt(double v, int decimals = 1);
std::string ratio(double a, double b);
// One row of the table: the figure, the program's, the baseline's, their ratio, the goal,
// and whether it was met.
void add(std::string figure, std::string program, std::string baseline, std::string r,
         std::string goal, bool met);
// Prints the table of the rows added so far.
int printRows(bool quick);

struct Measured {
    double seconds = 0;
    double peakKb = 0;
    int status = -1;
};
// Runs a program to its end, its output thrown away: wall time and peak resident memory.
Measured measure(const std::vector<std::string>& args);

// --- The measurements ------------------------------------------------------------------------

// One measurement: what its child process does, and the rows its parent makes of children
// (its own, and maybe others'). A measurement may have only one of the two.
struct Measurement {
    const char* name; // the child's first word, and the name --only takes
    const char* what; // for --help
    void (*child)(const QStringList& args);
    void (*rows)(bool quick);
};

// The window's timing, CPU, wake-ups, start-up and memory (WindowTiming.cpp).
extern const Measurement lateness, steps, cpu, idle, loopCost, startup, memory;
// A run without the window, and its record (Record.cpp).
extern const Measurement headless, logCost, logCpu, logSize, summary;
// The lab's records: a checkpoint's cost, the database's write, a stalled database (Lab.cpp).
extern const Measurement labWrite, labStall, labWindow, diagnoseWindow;
// The devices: Modbus, the port helper, the diagnosis (Devices.cpp).
extern const Measurement modbus, roundTrip, sampling, diagnosis;

} // namespace bench
