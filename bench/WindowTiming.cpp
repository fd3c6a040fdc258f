// The window's measurements: read-back lateness on every path, the auto step's regularity, CPU,
// wake-ups when idle, a loop's cost, start-up and memory; each against a bare baseline.
#include "Bench.h"
#include "Programs.h"

#include <QAbstractSlider>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace bench {

namespace {

// How late a read-back comes after its relay write, past the set delay, on one path:
//   window   a relay box flipped from code (the write, then the read-back timer armed)
//   auto     the auto walk, stepping at 20 ms
//   click    a mouse press and release on a relay box, through the window, repaint included
// or how late a bare timer armed for the same delay fires:
//   bare     a precise single-shot QTimer
//   timerfd  a timerfd at an absolute deadline watched by the event loop, 1 ns timer slack
//   repaint  the same timerfd beside a bare window that flips and repaints a box after each
//            arm, as a click does, with Qt set up as the program's: what one repaint per loop
//            costs the kernel's own wake-up
// Samples of lateness: each read-back's time after its write, less the delay set, in µs.
struct Lateness {
    Lateness(int n, int delayMs)
        : samples(n)
        , delayNs(delayMs * 1'000'000LL) {
        us.reserve(n);
    }
    std::vector<double> us;
    int samples;
    std::int64_t delayNs;
    QEventLoop done;
    // Takes one; true when there are enough.
    bool sample(std::int64_t elapsedNs) {
        us.push_back(double(elapsedNs - delayNs) / 1000.0);
        return int(us.size()) >= samples;
    }
};

void bareTimerLateness(Lateness& l, int delayMs) {
    QTimer t;
    t.setSingleShot(true);
    t.setTimerType(Qt::PreciseTimer);
    std::int64_t armed = 0;
    QObject::connect(&t, &QTimer::timeout, [&] {
        if (l.sample(nowNs() - armed))
            return l.done.quit();
        armed = nowNs();
        t.start(delayMs);
    });
    armed = nowNs();
    t.start(delayMs);
    l.done.exec();
}

void timerfdLateness(Lateness& l, bool repaint) {
    std::unique_ptr<BareWindow> window;
    if (repaint) {
        window = std::make_unique<BareWindow>();
        window->show();
        waitExposed(*window);
    }
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    std::int64_t armed = 0;
    auto arm = [&] {
        armed = nowNs();
        itimerspec at{};
        at.it_value.tv_sec = (armed + l.delayNs) / 1'000'000'000;
        at.it_value.tv_nsec = (armed + l.delayNs) % 1'000'000'000;
        ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &at, nullptr);
    };
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        std::uint64_t n = 0;
        if (::read(fd, &n, sizeof n) != sizeof n)
            return;
        if (l.sample(nowNs() - armed))
            return l.done.quit();
        arm();
        if (window) {
            window->flipOnce(int(l.us.size()));
            window->relays[l.us.size() % 16]->repaint();
        }
    });
    arm();
    l.done.exec();
    ::close(fd);
}

void windowLateness(Lateness& l, const QString& path, int delayMs) {
    Program p;
    p.setSpeeds(20, delayMs);
    p.showAndWait();
    const bool click = path == QLatin1String("click");
    int k = 0;
    auto next = [&] {
        if (path == QLatin1String("auto"))
            return; // the walk goes on by itself
        QAbstractButton* box = p.w->relayBox(++k % 16);
        if (!click)
            return box->setChecked(!box->isChecked());
        QTest::mousePress(box, Qt::LeftButton);
        QTest::mouseRelease(box, Qt::LeftButton);
    };
    p.card.onRead = [&](std::int64_t sinceWrite) {
        if (l.sample(sinceWrite))
            return l.done.quit();
        QTimer::singleShot(0, next);
    };
    if (path == QLatin1String("auto"))
        p.w->autoCmd_Click();
    else
        QTimer::singleShot(0, next);
    l.done.exec();
}

void childLateness(const QString& path, int delayMs, int samples) {
    Lateness l(samples, delayMs);
    if (path == QLatin1String("bare"))
        bareTimerLateness(l, delayMs);
    else if (path == QLatin1String("timerfd") || path == QLatin1String("repaint"))
        timerfdLateness(l, path == QLatin1String("repaint"));
    else
        windowLateness(l, path, delayMs);
    reportSamples(l.us);
    report(latenessStats(l.us));
}

void childSteps(bool bare, int periodMs, int steps) {
    std::vector<std::int64_t> at;
    at.reserve(steps + 1);
    QEventLoop done;
    auto tick = [&] {
        at.push_back(nowNs());
        if (int(at.size()) > steps)
            done.quit();
    };
    std::unique_ptr<Program> p;
    QTimer t;
    if (bare) {
        t.setTimerType(Qt::PreciseTimer);
        t.setInterval(periodMs);
        QObject::connect(&t, &QTimer::timeout, tick);
        t.start();
    } else {
        p = std::make_unique<Program>();
        p->setSpeeds(periodMs, 5);
        p->showAndWait();
        // Each step as its handler ends, as the timer's own signal reached a second watcher.
        QObject::connect(p->w.get(), &LoopTest::handled, [&](LoopTest::Event e) {
            if (e == LoopTest::Event::Step)
                tick();
        });
        p->w->autoCmd_Click();
    }
    done.exec();
    std::vector<double> intervals;
    double missed = 0;
    for (std::size_t i = 1; i < at.size(); ++i) {
        intervals.push_back(double(at[i] - at[i - 1]) / 1000.0);
        missed += intervals.back() > 1.5 * periodMs * 1000.0 ? 1 : 0;
    }
    const double n = double(at.size() - 1);
    const double driftUs =
        std::abs(double(at.back() - at.front()) / 1000.0 - n * periodMs * 1000.0);
    report({{"median", percentile(intervals, 50)},
            {"p99", percentile(intervals, 99)},
            {"max", percentile(intervals, 100)},
            {"drift_us", driftUs},
            {"drift_ppm", driftUs / (n * periodMs * 1000.0) * 1e6},
            {"missed", missed},
            {"n", n}});
}

void childCpu(bool bare, int seconds, bool logged) {
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    QTimer t;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
        waitExposed(*b);
        t.setTimerType(Qt::PreciseTimer);
        t.setInterval(20);
        QObject::connect(&t, &QTimer::timeout, [&] { b->step(5); });
        t.start();
    } else {
        p = std::make_unique<Program>(logged);
        p->setSpeeds(20, 5);
        p->showAndWait();
        p->w->autoCmd_Click();
    }
    spin(1000); // settle
    auto loops = [&] { return bare ? double(b->loops) : double(p->w->results().loops()); };
    const double cpu0 = cpuSeconds();
    const double loops0 = loops();
    const std::int64_t t0 = nowNs();
    spin(seconds * 1000);
    const double wall = double(nowNs() - t0) / 1e9;
    report({{"cpu", cpuSeconds() - cpu0}, {"wall", wall}, {"loops", loops() - loops0}});
}

void childIdle(bool bare, int seconds) {
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
        waitExposed(*b);
    } else {
        p = std::make_unique<Program>();
        p->showAndWait();
    }
    spin(500);
    const long v0 = voluntarySwitches();
    const std::int64_t t0 = nowNs();
    // Sleep in the event loop with nothing of our own to wake it.
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double wall = double(nowNs() - t0) / 1e9;
    // The one wake-up that ends the wait is ours, not the program's.
    report({{"per_second", double(voluntarySwitches() - v0 - 1) / wall}});
}

void childLoopCost(bool shown, int loops) {
    Program p;
    if (shown)
        p.showAndWait();
    for (int i = 0; i < 1000; ++i)
        p.loopOnce(i);
    const std::int64_t t0 = nowNs();
    for (int i = 0; i < loops; ++i)
        p.loopOnce(i);
    if (shown)
        QCoreApplication::processEvents(); // the last paint belongs to the last loop
    const double us = double(nowNs() - t0) / 1000.0 / loops;
    report({{"us_per_loop", us}, {"writes", double(p.card.writes)}});
}

void childStartup(bool bare, std::int64_t spawnedNs) {
    // The first paint of the window ends the measurement.
    struct FirstPaint : QObject {
        std::int64_t spawned;
        explicit FirstPaint(std::int64_t s)
            : spawned(s) {}
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Paint && o->isWidgetType() &&
                static_cast<QWidget*>(o)->isWindow()) {
                report({{"ms", double(nowNs() - spawned) / 1e6}});
                std::_Exit(0);
            }
            return false;
        }
    } firstPaint(spawnedNs);
    qApp->installEventFilter(&firstPaint);
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
    } else {
        p = std::make_unique<Program>();
        p->w->show();
    }
    QApplication::exec();
}

void childMemory(bool bare, int loops) {
    std::unique_ptr<Program> p;
    std::unique_ptr<BareWindow> b;
    std::function<void(int)> once;
    if (bare) {
        b = std::make_unique<BareWindow>();
        b->show();
        waitExposed(*b);
        once = [&](int i) { b->flipOnce(i); };
    } else {
        p = std::make_unique<Program>();
        p->showAndWait();
        once = [&](int i) { p->loopOnce(i); };
    }
    long warm = 0;
    for (int i = 0; i < loops; ++i) {
        once(i);
        if (i % 1000 == 999)
            QCoreApplication::processEvents(); // let it paint
        if (i == loops / 10)
            warm = procStatusKb("VmRSS");
    }
    QCoreApplication::processEvents();
    report({{"peak_kb", double(procStatusKb("VmHWM"))},
            {"growth_kb", double(procStatusKb("VmRSS") - warm)}});
}

} // namespace

const Measurement lateness{
    "lateness", "how late a read-back comes on each path, against a QTimer's and a timerfd's",
    [](const QStringList& a) { childLateness(a.value(0), a.value(1).toInt(), a.value(2).toInt()); },
    [](bool quick) {
        // Every read-back path against both bare timers, side by side in alternating rounds.
        const struct {
            const char* path;
            const char* words;
            int delayMs, n;
        } paths[] = {{"window", "a relay written from code", 5, quick ? 50 : 4000},
                     {"auto", "the auto walk at 20 ms", 5, quick ? 50 : 4000},
                     {"click", "a mouse click on a relay box", 5, quick ? 50 : 4000},
                     {"window", "a relay written from code", 50, quick ? 20 : 1000},
                     {"window", "a relay written from code", 500, quick ? 3 : 200}};
        for (const auto& pth : paths) {
            const QString d = QString::number(pth.delayMs);
            // A click repaints after arming; the timerfd beside a window doing the same shows
            // what that repaint costs the kernel's wake-up, program code aside.
            const bool click = pth.path == std::string_view("click");
            std::vector<QStringList> children = {
                {"lateness", pth.path, d}, {"lateness", "bare", d}, {"lateness", "timerfd", d}};
            if (click)
                children.push_back({"lateness", "repaint", d});
            // Many short rounds: this machine's own wake-up latency can double for a few seconds
            // and come back, and each side should see such stretches as often as the others.
            const auto r = rounds(children, pth.n, quick ? 1 : 20);
            const Result &w = r[0], &q = r[1], &k = r[2];
            const Result* painted = click && !r[3].empty() ? &r[3] : nullptr;
            auto cell = [](const Result& x) {
                return fmt(x.at("median")) + " / " + fmt(x.at("p99")) + " / " + fmt(x.at("max")) +
                       "; " + fmt(x.at("early"), 0) + "; " + fmt(x.at("n"), 0);
            };
            if (w.empty() || q.empty() || k.empty()) {
                add("read-back lateness at " + d.toStdString() + " ms, " + pth.words, "n/a", "n/a",
                    "", "", false);
                continue;
            }
            const bool met = w.at("early") == 0 && w.at("median") <= 0.6 * q.at("median") &&
                             w.at("median") <= 1.2 * k.at("median") && w.at("p99") <= q.at("p99");
            add("read-back lateness at " + d.toStdString() + " ms, " + pth.words +
                    ", µs (median / p99 / max; early; n)",
                cell(w),
                "QTimer " + cell(q) + "<br>timerfd " + cell(k) +
                    (painted ? "<br>timerfd beside a repaint " + cell(*painted) : ""),
                "median " + ratio(w.at("median"), q.at("median")) + " QTimer, " +
                    ratio(w.at("median"), k.at("median")) + " timerfd; p99 " +
                    ratio(w.at("p99"), q.at("p99")) + " QTimer; the bare timerfd's median " +
                    ratio(k.at("median"), q.at("median")) + " QTimer's" +
                    (painted ? "; median " + ratio(w.at("median"), painted->at("median")) +
                                   " the timerfd beside a repaint"
                             : ""),
                "never early; median ≤ 0.6× QTimer's and ≤ 1.2× timerfd's; p99 ≤ 1.0× QTimer's",
                met);
        }
    }};

const Measurement steps{
    "steps", "the auto step's intervals, drift and missed steps at 20 and 100 ms",
    [](const QStringList& a) {
        childSteps(a.value(0) == QLatin1String("bare"), a.value(1).toInt(), a.value(2).toInt());
    },
    [](bool quick) {
        for (int period : {20, 100}) {
            const QString p = QString::number(period);
            const QString n = QString::number(quick ? 50 : 3000);
            auto [w, b] = pair({"steps", "window", p, n}, {"steps", "bare", p, n});
            add("auto step period " + p.toStdString() +
                    " ms: interval median / p99 / max µs; drift ppm; missed; steps",
                fmt(w["median"]) + " / " + fmt(w["p99"]) + " / " + fmt(w["max"]) + "; " +
                    fmt(w["drift_ppm"]) + "; " + fmt(w["missed"], 0) + "; " + fmt(w["n"], 0),
                fmt(b["median"]) + " / " + fmt(b["p99"]) + " / " + fmt(b["max"]) + "; " +
                    fmt(b["drift_ppm"]) + "; " + fmt(b["missed"], 0) + "; " + fmt(b["n"], 0),
                ratio(w["p99"], b["p99"]) + " (p99)", "drift ≤ 20 ppm, no step missed",
                w["drift_ppm"] <= 20 && w["missed"] == 0);
        }
    }};

const Measurement cpu{
    "cpu", "CPU stepping at 20 ms / 5 ms, against a bare window",
    [](const QStringList& a) {
        childCpu(a.value(0) == QLatin1String("bare"), a.value(1).toInt(),
                 a.value(0) == QLatin1String("logged"));
    },
    [](bool quick) {
        {
            const int total = quick ? 2 : 30;
            auto [w, b] = rounds({"cpu", "window"}, {"cpu", "bare"}, total, quick ? 1 : 10);
            const double wc = w["cpu"] / w["wall"], bc = b["cpu"] / b["wall"];
            add("CPU stepping at 20 ms / 5 ms, CPU s per wall s over " + std::to_string(total) +
                    " s",
                fmt(wc, 4), fmt(bc, 4), ratio(wc, bc), "≤ 1.2× the bare window", wc <= 1.2 * bc);
        }
    }};

const Measurement idle{
    "idle", "wake-ups per second of a window left alone",
    [](const QStringList& a) {
        childIdle(a.value(0) == QLatin1String("bare"), a.value(1).toInt());
    },
    [](bool quick) {
        {
            const QString s = QString::number(quick ? 2 : 20);
            auto [w, b] = pair({"idle", "window", s}, {"idle", "bare", s}, Together::Yes);
            add("idle wake-ups, voluntary switches per s over " + s.toStdString() + " s",
                fmt(w["per_second"], 2), fmt(b["per_second"], 2), "", "≤ 1 per second",
                w["per_second"] <= 1.0);
        }
    }};

const Measurement loopCost{
    "loopcost", "the cost of one loop through the handlers, window shown and hidden",
    [](const QStringList& a) {
        childLoopCost(a.value(0) == QLatin1String("shown"), a.value(1).toInt());
    },
    [](bool quick) {
        for (const char* shown : {"shown", "hidden"}) {
            Child c = start({"loopcost", shown, QString::number(quick ? 1000 : 100000)});
            Result r = finish(c);
            add(std::string(
                    "cost of one loop (write + read-back through the handlers), µs, window ") +
                    shown,
                fmt(r["us_per_loop"], 2), "", "", "reported", true);
        }
    }};

const Measurement startup{
    "startup", "process start to the window's first paint, against a bare window",
    [](const QStringList& a) {
        childStartup(a.value(0) == QLatin1String("bare"), a.value(1).toLongLong());
    },
    [](bool quick) {
        {
            std::vector<double> w, b;
            for (int i = 0; i < (quick ? 2 : 9); ++i) {
                for (bool bare : {false, true}) {
                    Child c =
                        start({"startup", bare ? "bare" : "window", QString::number(nowNs())});
                    Result r = finish(c);
                    (bare ? b : w).push_back(r["ms"]);
                }
            }
            const double wm = percentile(w, 50), bm = percentile(b, 50);
            add("start-up, process start to first paint, ms (median of " +
                    std::to_string(w.size()) + ")",
                fmt(wm), fmt(bm), ratio(wm, bm), "≤ 1.5× the bare program", wm <= 1.5 * bm);
        }
    }};

const Measurement memory{
    "memory", "peak memory and its growth over many loops, against a bare window",
    [](const QStringList& a) {
        childMemory(a.value(0) == QLatin1String("bare"), a.value(1).toInt());
    },
    [](bool quick) {
        {
            const QString n = QString::number(quick ? 5000 : 100000);
            Child cw = start({"memory", "window", n});
            Result w = finish(cw);
            Child cb = start({"memory", "bare", n});
            Result b = finish(cb);
            add("memory: peak RSS kB; RSS growth over " + n.toStdString() + " loops kB",
                fmt(w["peak_kb"], 0) + "; " + fmt(w["growth_kb"], 0),
                fmt(b["peak_kb"], 0) + "; " + fmt(b["growth_kb"], 0),
                ratio(w["peak_kb"], b["peak_kb"]), "peak ≤ 1.3× the bare program; growth ≤ 1 MB",
                w["peak_kb"] <= 1.3 * b["peak_kb"] && w["growth_kb"] <= 1024);
        }
    }};

} // namespace bench
