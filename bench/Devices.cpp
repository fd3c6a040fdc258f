// The devices: one loop's Modbus I/O against a bare libmodbus client, the port helper's round
// trip and sampling against the best the machine does, and a diagnosis against its own waits.
#include "Bench.h"
#include "Programs.h"

#include "card/isa/PortHelperDevice.h"
#ifdef LOOPTEST_WITH_MODBUS
#include "card/modbus/ModbusDevice.h"
#include <modbus/modbus.h>
#endif
#include "diagnosis/Diagnosis.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

// One loop's Modbus I/O, the write of a port's coils and the two reads of the inputs, against
// the module at 127.0.0.1:port: through the program's card, or a bare libmodbus client making
// the same requests; verified: the card also reads the coils back after the inputs, as a run
// does by default to find another master out.
void childModbus(bool bare, int port, int loops, bool verified = false) {
#ifdef LOOPTEST_WITH_MODBUS
    std::vector<double> us;
    us.reserve(loops);
    ModbusSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    if (bare) {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 0, 100000);
        if (modbus_connect(ctx) != 0)
            return;
        std::uint8_t bits[8] = {};
        for (int i = 0; i < loops + 50; ++i) {
            const std::int64_t t0 = nowNs();
            for (int k = 0; k < 8; ++k)
                bits[k] = k == i % 8;
            modbus_write_bits(ctx, 8 * ((i / 8) % 2), 8, bits);
            modbus_read_input_bits(ctx, 0, 8, bits);
            modbus_read_input_bits(ctx, 8, 8, bits);
            if (i >= 50)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
        modbus_close(ctx);
        modbus_free(ctx);
    } else {
        QString why;
        auto dev = ModbusDevice::open(s, why);
        if (!dev) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return;
        }
        std::int16_t data = 0;
        for (int i = 0; i < loops + 50; ++i) {
            const std::int64_t t0 = nowNs();
            dev->write((i / 8) % 2, static_cast<std::int16_t>(1 << (i % 8)));
            dev->read(0, data);
            dev->read(1, data);
            std::string why;
            if (verified && !dev->outputsAsWritten(why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                return;
            }
            if (i >= 50)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
    }
    reportSamples(us); // pooled over the rounds
    report({{"n", double(us.size())}});
#else
    (void)bare, (void)port, (void)loops, (void)verified;
    report({{"absent", 1}});
#endif
}

// One request and its answer through the port helper (a read of port 0, the helper serving a
// file in place of the ports), or the bare minimum: two bytes out to another process over a
// socket and the same two back.
// Keeps this process, and whatever it starts from now on, on the core it runs on.
void stayOnThisCore() {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu(), &one);
    ::sched_setaffinity(0, sizeof one, &one);
}

void childRoundTrip(const QString& how, int samples) {
    const bool bare = how.startsWith(QLatin1String("cat"));
    if (how.endsWith(QLatin1String("one-core")))
        stayOnThisCore();
    std::vector<double> us;
    us.reserve(samples);
    if (bare) {
        // cat started the way the helper is (spawned, not forked), so that the scheduler
        // places both alike: an exec moves a process to the idlest core.
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sv[1], 0);
        posix_spawn_file_actions_adddup2(&actions, sv[1], 1);
        char cat[] = "/bin/cat";
        char* argv[] = {cat, nullptr};
        char* envp[] = {nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, cat, &actions, nullptr, argv, envp) != 0)
            return;
        posix_spawn_file_actions_destroy(&actions);
        ::close(sv[1]);
        unsigned char b[2] = {0x10, 0};
        for (int i = 0; i < samples + 100; ++i) {
            const std::int64_t t0 = nowNs();
            if (::write(sv[0], b, 2) != 2 || ::read(sv[0], b, 2) != 2)
                return;
            if (i >= 100)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
        ::close(sv[0]);
        ::waitpid(pid, nullptr, 0);
    } else {
        QTemporaryFile space;
        if (!space.open() || !space.resize(0x400))
            return;
        QString why;
        auto dev = PortHelperDevice::open(LOOPTEST_PORT_HELPER, 0x300, why,
                                          space.fileName().toStdString());
        if (!dev) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return;
        }
        std::int16_t data = 0;
        for (int i = 0; i < samples + 100; ++i) {
            const std::int64_t t0 = nowNs();
            if (!dev->read(0, data))
                return;
            if (i >= 100)
                us.push_back(double(nowNs() - t0) / 1000.0);
        }
    }
    report({{"median", percentile(us, 50)}, {"p99", percentile(us, 99)}, {"n", double(us.size())}});
}

// The sampling interval of a watch through the port helper serving a file, or of the same
// reads (and clock) in a bare loop in this process; nothing changes, so each runs its time-out.
void childSampling(bool bare, int watches) {
    QTemporaryFile space;
    if (!space.open() || !space.resize(0x400))
        return;
    std::vector<double> us;
    if (bare) {
        const int fd = space.handle();
        for (int w = 0; w < watches; ++w) {
            const std::int64_t start = nowNs();
            std::int64_t now = start;
            long samples = 0;
            unsigned char byte = 0;
            while (now - start < 100'000'000) {
                if (::pread(fd, &byte, 1, 0x300) != 1)
                    return;
                now = nowNs();
                ++samples;
            }
            us.push_back(double(now - start) / 1000.0 / double(samples - 1));
        }
    } else {
        QString why;
        auto dev = PortHelperDevice::open(LOOPTEST_PORT_HELPER, 0x300, why,
                                          space.fileName().toStdString());
        if (!dev)
            return;
        for (int w = 0; w < watches; ++w) {
            PortDevice::Watch seen;
            if (!dev->watch(0, 0, 100'000, seen))
                return;
            us.push_back(seen.intervalUs);
        }
    }
    report({{"interval_us", percentile(us, 50)}});
}

// A healthy simulated card diagnosed with the defaults, on the real clock: how long it took
// against the waits the method made.
// Or, with "dead", a card none of whose relays closes, diagnosed with `repeat` repeats: how
// long a technician waits for the worst card.
void childDiagnose(bool dead, int repeat) {
    SimulatorFault fault;
    if (dead) {
        fault = {SimulatorFault::Kind::RelayNeverCloses, 0};
        for (int r = 1; r < 16; ++r)
            fault.also.push_back({SimulatorFault::Kind::RelayNeverCloses, r});
    }
    LoopbackSimulator card(fault);
    DiagnosisSettings settings;
    settings.repeat = repeat > 0 ? repeat : settings.repeat;
    const std::int64_t t0 = nowNs();
    const DiagnosisReport r = diagnose(card, settings);
    const double ms = double(nowNs() - t0) / 1e6;
    report({{"ms", ms}, {"waited_ms", r.waitedMs}, {"passed", r.passed() ? 1.0 : 0.0}});
}

} // namespace

const Measurement modbus{
    "modbus", "one loop's Modbus I/O over TCP to pymodbus, against a bare libmodbus client",
    [](const QStringList& a) {
        childModbus(a.value(0) == QLatin1String("bare"), a.value(1).toInt(), a.value(2).toInt(),
                    a.value(0) == QLatin1String("verified"));
    },
    [](bool quick) {
        {
            // A pymodbus module on this machine, the same for both sides, which take turns.
            QProcess module;
            const int port = 20000 + int(QCoreApplication::applicationPid() % 20000);
            module.start(
                QStringLiteral("/usr/bin/python3"),
                {QStringLiteral(LOOPTEST_MODBUS_MODULE), QStringLiteral("--tcp=%1").arg(port)});
            module.waitForReadyRead(10000);
            auto [w, b] = rounds({"modbus", "program", QString::number(port)},
                                 {"modbus", "bare", QString::number(port)}, quick ? 100 : 4000,
                                 quick ? 1 : 4);
            // What finding another master out costs: the coils read back once a loop.
            auto [v, u] = rounds({"modbus", "verified", QString::number(port)},
                                 {"modbus", "program", QString::number(port)}, quick ? 100 : 4000,
                                 quick ? 1 : 4);
            module.kill();
            module.waitForFinished();
            if (!v.count("absent") && !v.empty() && !u.empty())
                add("Modbus: one loop with the coils read back (verify=on, the default) against "
                    "without (verify=off), µs (median / p99; n); loops per second",
                    fmt(v["median"]) + " / " + fmt(v["p99"]) + "; " + fmt(v["n"], 0) + "; " +
                        fmt(1e6 / v["median"], 0),
                    fmt(u["median"]) + " / " + fmt(u["p99"]) + "; " + fmt(u["n"], 0) + "; " +
                        fmt(1e6 / u["median"], 0),
                    ratio(v["median"], u["median"]) + " / " + ratio(v["p99"], u["p99"]),
                    "one round trip more of three: median ≤ 1.5× without",
                    v["median"] <= 1.5 * u["median"]);
            if (w.count("absent"))
                add("Modbus: one loop's I/O (write + two reads) over TCP to pymodbus, µs",
                    "no Modbus in this build", "", "", "≤ 1.1× a bare libmodbus client", true);
            else
                add("Modbus: one loop's I/O (write + two reads) over TCP to pymodbus, µs (median / "
                    "p99; n)",
                    fmt(w["median"]) + " / " + fmt(w["p99"]) + "; " + fmt(w["n"], 0),
                    fmt(b["median"]) + " / " + fmt(b["p99"]) + "; " + fmt(b["n"], 0),
                    ratio(w["median"], b["median"]) + " / " + ratio(w["p99"], b["p99"]),
                    "median ≤ 1.1× a bare libmodbus client", w["median"] <= 1.1 * b["median"]);
        }
    }};

const Measurement roundTrip{
    "roundtrip", "the port helper's request and answer, against cat over a socket pair",
    [](const QStringList& a) { childRoundTrip(a.value(0), a.value(1).toInt()); },
    [](bool quick) {
        {
            const QString n = QString::number(quick ? 500 : 20000);
            // Alternating rounds; each side's figures are the medians of its rounds.
            Result w, b;
            std::map<std::string, std::vector<double>> ws, bs;
            for (int r = 0; r < (quick ? 1 : 5); ++r) {
                auto [one, other] =
                    pair({"roundtrip", "helper", n}, {"roundtrip", "cat-one-core", n});
                for (const auto& [k, v] : one)
                    ws[k].push_back(v);
                for (const auto& [k, v] : other)
                    bs[k].push_back(v);
            }
            for (auto& [k, v] : ws)
                w[k] = percentile(v, 50);
            for (auto& [k, v] : bs)
                b[k] = percentile(v, 50);
            add("port helper: one request and its answer, µs (median / p99; n)",
                fmt(w["median"], 2) + " / " + fmt(w["p99"], 2) + "; " + fmt(w["n"], 0),
                "cat echoing over a socket pair, both on one core " + fmt(b["median"], 2) + " / " +
                    fmt(b["p99"], 2) + "; " + fmt(b["n"], 0),
                ratio(w["median"], b["median"]) + " / " + ratio(w["p99"], b["p99"]),
                "median ≤ 1.5× the best round trip between two processes",
                w["median"] <= 1.5 * b["median"]);
        }
    }};

const Measurement sampling{
    "sampling", "the sampling interval of the port helper's watch, against a bare loop",
    [](const QStringList& a) {
        childSampling(a.value(0) == QLatin1String("bare"), a.value(1).toInt());
    },
    [](bool quick) {
        {
            const QString n = QString::number(quick ? 2 : 10);
            std::vector<double> wv, bv;
            for (int r = 0; r < (quick ? 1 : 5); ++r) {
                auto [one, other] = pair({"sampling", "helper", n}, {"sampling", "bare", n});
                wv.push_back(one["interval_us"]);
                bv.push_back(other["interval_us"]);
            }
            Result w{{"interval_us", percentile(wv, 50)}}, b{{"interval_us", percentile(bv, 50)}};
            add("port helper: sampling interval of a watch through the file stand-in, µs (median "
                "of watches of 100 ms)",
                fmt(w["interval_us"], 3),
                "the same reads in a bare loop " + fmt(b["interval_us"], 3),
                ratio(w["interval_us"], b["interval_us"]), "≤ 1.2× the bare loop",
                w["interval_us"] <= 1.2 * b["interval_us"]);
        }
    }};

const Measurement diagnosis{
    "diagnose", "a healthy card's diagnosis against the waits it made; a dead card's",
    [](const QStringList& a) {
        childDiagnose(a.value(0) == QLatin1String("dead"), a.value(1).toInt());
    },
    [](bool quick) {
        {
            std::vector<double> ratios, ms, waited;
            for (int i = 0; i < (quick ? 1 : 5); ++i) {
                Child c = start({"diagnose"});
                Result r = finish(c);
                ms.push_back(r["ms"]);
                waited.push_back(r["waited_ms"]);
                ratios.push_back(r["waited_ms"] > 0 ? r["ms"] / r["waited_ms"] : NAN);
            }
            const double worst = *std::max_element(ratios.begin(), ratios.end());
            add("diagnosis of a healthy simulated card, defaults: ms, and the waits the method "
                "made "
                "(median of " +
                    std::to_string(ms.size()) + "; the worst ratio)",
                fmt(percentile(ms, 50)), "waits " + fmt(percentile(waited, 50)),
                fmt(worst, 3) + "×", "≤ 1.2× the waits", worst <= 1.2);
        }
        // Every channel open: each relay watched a second at its first closing, 200 ms at the
        // others. The bound: 16 × (1 s + (N − 1) × 0.2 s) and the map's second.
        const int repeat = quick ? 1 : 3;
        Child c = start({"diagnose", "dead", QString::number(repeat)});
        Result r = finish(c);
        const double bound = 16 * (1.0 + (repeat - 1) * 0.2) + 1.0;
        add("diagnosis of a simulated card whose relays never close, " + std::to_string(repeat) +
                " repeats: s, and the waits the method made",
            fmt(r["ms"] / 1000, 2), "waits " + fmt(r["waited_ms"] / 1000, 2),
            ratio(r["ms"], r["waited_ms"]),
            "≤ " + fmt(bound, 1) + " s (16 × (1 s + (N − 1) × 0.2 s) + 1 s)",
            r["ms"] / 1000 <= bound);
    }};

} // namespace bench
