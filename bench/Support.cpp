// The clock, statistics and processes the measurements share.
#include "Bench.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::ceil(p / 100.0 * double(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

long procStatusKb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    return -1;
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long voluntarySwitches() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw;
}

void spin(int ms) {
    QElapsedTimer t;
    t.start();
    QTimer::singleShot(ms, qApp, [] {});
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void waitExposed(QWidget& w) {
    for (int i = 0; i < 200 && !(w.windowHandle() && w.windowHandle()->isExposed()); ++i)
        spin(10);
    spin(100); // the first paints
}

void report(const Result& values) {
    std::printf("RESULT");
    for (const auto& [k, v] : values)
        std::printf(" %s=%.6g", k.c_str(), v);
    std::printf("\n");
    std::fflush(stdout);
}

void reportSamples(const std::vector<double>& us) {
    std::printf("SAMPLES");
    for (double v : us)
        std::printf(" %.3f", v);
    std::printf("\n");
    std::fflush(stdout);
}

Result latenessStats(const std::vector<double>& us) {
    double early = 0;
    for (double v : us)
        early += v < 0 ? 1 : 0;
    return {{"median", percentile(us, 50)},
            {"p99", percentile(us, 99)},
            {"max", percentile(us, 100)},
            {"early", early},
            {"n", double(us.size())}};
}

QString g_program;
QString g_platform;

Child start(const QStringList& args) {
    Child c;
    c.process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), g_platform);
    if (!env.contains(QStringLiteral("XDG_RUNTIME_DIR")))
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir::tempPath());
    c.process->setProcessEnvironment(env);
    c.description = args.join(QLatin1Char(' '));
    c.process->start(g_program, QStringList{QStringLiteral("--child")} + args);
    return c;
}

Result finish(Child& c, std::vector<double>* samples) {
    c.process->waitForFinished(-1);
    const QString out = QString::fromLocal8Bit(c.process->readAllStandardOutput());
    Result r;
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        if (samples && line.startsWith(QLatin1String("SAMPLES"))) {
            for (const QString& v : line.mid(8).split(QLatin1Char(' '), Qt::SkipEmptyParts))
                samples->push_back(v.toDouble());
        }
        if (!line.startsWith(QLatin1String("RESULT")))
            continue;
        for (const QString& pair : line.mid(7).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const auto kv = pair.split(QLatin1Char('='));
            r[kv.value(0).toStdString()] = kv.value(1).toDouble();
        }
    }
    if (r.empty())
        std::fprintf(stderr, "looptest_bench: child '%s' gave no result:\n%s\n",
                     qPrintable(c.description), c.process->readAllStandardError().constData());
    return r;
}

std::pair<Result, Result> pair(const QStringList& window, const QStringList& baseline,
                               Together together) {
    if (together == Together::No) {
        Child a = start(window);
        Result ra = finish(a);
        Child b = start(baseline);
        return {ra, finish(b)};
    }
    Child a = start(window);
    Child b = start(baseline);
    Result ra = finish(a);
    Result rb = finish(b);
    return {ra, rb};
}

std::vector<Result> rounds(const std::vector<QStringList>& sides, int total, int n) {
    std::vector<Result> sums(sides.size());
    std::vector<std::vector<double>> samples(sides.size());
    for (int r = 0; r < n; ++r) {
        const QString share = QString::number(total / n + (r < total % n ? 1 : 0));
        for (std::size_t side = 0; side < sides.size(); ++side) {
            Child c = start(sides[side] + QStringList{share});
            for (const auto& [k, v] : finish(c, &samples[side]))
                sums[side][k] += v;
        }
    }
    for (std::size_t side = 0; side < sides.size(); ++side)
        if (!samples[side].empty())
            sums[side] = latenessStats(samples[side]);
    return sums;
}

std::pair<Result, Result> rounds(QStringList window, QStringList baseline, int total, int n) {
    auto r = rounds(std::vector<QStringList>{window, baseline}, total, n);
    return {r[0], r[1]};
}

namespace {

struct Row {
    std::string figure, program, baseline, ratio, goal, met;
};
std::vector<Row> g_rows;

} // namespace

std::string fmt(double v, int decimals) {
    if (std::isnan(v))
        return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string ratio(double a, double b) {
    return b > 0 ? fmt(a / b, 2) + "×" : "n/a";
}

void add(std::string figure, std::string program, std::string baseline, std::string r,
         std::string goal, bool met) {
    g_rows.push_back({std::move(figure), std::move(program), std::move(baseline), std::move(r),
                      std::move(goal), met ? "yes" : "**no**"});
    std::fprintf(stderr, "  measured: %s\n", g_rows.back().figure.c_str());
}

int printRows(bool quick) {
    std::printf("| figure | looptest | baseline | ratio | goal | met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    int missed = 0;
    for (const Row& r : g_rows) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.program.c_str(),
                    r.baseline.c_str(), r.ratio.c_str(), r.goal.c_str(), r.met.c_str());
        missed += r.met == "yes" ? 0 : 1;
    }
    std::printf("\nplatform: %s%s; goals missed: %d\n", qPrintable(g_platform),
                quick ? " (quick run: too few samples to judge)" : "", missed);
    return 0;
}

Measured measure(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Measured m;
    pid_t pid = 0;
    const std::int64_t t0 = nowNs();
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return m;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    m.seconds = double(nowNs() - t0) / 1e9;
    m.peakKb = double(usage.ru_maxrss);
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

} // namespace bench
