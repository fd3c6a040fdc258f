#include "diagnosis/Diagnosis.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

using Class = ChannelDiagnosis::Class;

// Inputs as a 16-bit mask, bit i set when input i is active (its port's bit clear).
int activeMask(int byte0, int byte1) {
    return (~byte0 & 0xFF) | ((~byte1 & 0xFF) << 8);
}

ChannelDiagnosis::Figures figures(std::vector<double> ms) {
    ChannelDiagnosis::Figures f;
    if (ms.empty())
        return f;
    std::sort(ms.begin(), ms.end());
    f.min = ms.front();
    f.max = ms.back();
    const std::size_t n = ms.size();
    f.median = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    return f;
}

std::string list(const std::vector<int>& inputs) {
    std::string out;
    for (std::size_t i = 0; i < inputs.size(); ++i)
        out += (i == 0 ? "" : i + 1 == inputs.size() ? " and " : ", ") + std::to_string(inputs[i]);
    return out;
}

// One relay's timing on one input, over its closings and openings.
struct Timing {
    std::vector<double> operate, release, bounce;
    int bounces = 0;
    int closings = 0;
    int moved = 0; // closings that moved the input
};

class Diagnoser {
public:
    Diagnoser(PortDevice& device, const DiagnosisSettings& s, const std::function<bool()>& stopped)
        : d_(device)
        , s_(s)
        , stopped_(stopped) {}

    DiagnosisReport run() {
        r_.settings = s_;
        for (int relay = 0; relay < 16; ++relay) {
            r_.channels[relay].relay = relay;
            r_.channels[relay].input = 15 - relay;
        }
        if (write(0, 0) && write(1, 0)) {
            d_.waitUntil(d_.nowUs() + s_.startUs);
            r_.waitedMs += double(s_.startUs) / 1000.0;
            measure();
        }
        // Whatever happened, every relay is open at the end.
        d_.write(0, 0);
        d_.write(1, 0);
        for (ChannelDiagnosis& c : r_.channels)
            if (c.kind == Class::Unknown)
                c.words = "not diagnosed: " + r_.failure;
        return r_;
    }

private:
    bool failed(const std::string& why) {
        if (r_.failure.empty())
            r_.failure = why;
        return false;
    }
    bool go() { return r_.failure.empty() && !(stopped_ && stopped_() && !failed("stopped")); }
    bool write(int port, int byte) {
        return d_.write(port, static_cast<std::int16_t>(byte)) ||
               failed("writing port " + std::to_string(port) + " failed: " + d_.lastError());
    }
    bool read(int& mask) {
        std::int16_t b0 = 0, b1 = 0;
        if (!d_.read(0, b0) || !d_.read(1, b1))
            return failed("reading the inputs failed: " + d_.lastError());
        mask = activeMask(b0 & 0xFF, b1 & 0xFF);
        return true;
    }

    // Writes a port and watches input i: when it first changed after the write, when it last
    // changed, how often; no change, no times.
    bool writeAndWatch(int port, int byte, int input, std::optional<double>& first,
                       std::optional<double>& last, int& changes) {
        std::int16_t before = 0;
        if (!d_.read(input / 8, before))
            return failed("reading the inputs failed: " + d_.lastError());
        const std::int64_t t0 = d_.nowUs();
        if (!write(port, byte))
            return false;
        PortDevice::Watch w;
        const std::int64_t start = d_.nowUs();
        if (!d_.watch(input / 8, static_cast<std::uint8_t>(before & 0xFF), s_.timeoutUs, w))
            return failed("watching port " + std::to_string(input / 8) +
                          " failed: " + d_.lastError());
        intervals_.push_back(w.intervalUs);
        r_.longestGapMs = std::max(r_.longestGapMs, w.longestGapUs / 1000.0);
        // What the method had to wait: until the byte settled, or the time-out.
        r_.waitedMs += w.changes.empty()
                           ? double(s_.timeoutUs) / 1000.0
                           : double(w.changes.back().us - start + PortDevice::kSettleUs) / 1000.0;
        const int bit = 1 << (input % 8);
        int state = before & bit;
        changes = 0;
        first.reset();
        last.reset();
        for (const PortDevice::Change& c : w.changes) {
            if ((c.byte & bit) == state)
                continue;
            state = c.byte & bit;
            const double ms = double(c.us - t0) / 1000.0;
            if (!first)
                first = ms;
            last = ms;
            ++changes;
        }
        return true;
    }

    // Closes relay alone and opens it again, repeat times, timing input.
    bool time(int relay, int input, Timing& t) {
        t = {};
        for (int k = 0; k < s_.repeat && go(); ++k) {
            std::optional<double> first, last;
            int changes = 0;
            if (!writeAndWatch(relay / 8, 1 << (relay % 8), input, first, last, changes))
                return false;
            ++t.closings;
            if (first) {
                ++t.moved;
                t.operate.push_back(*first);
                t.bounce.push_back(*last - *first);
                t.bounces = std::max(t.bounces, (changes - 1) / 2);
            }
            if (!writeAndWatch(relay / 8, 0, input, first, last, changes))
                return false;
            if (first)
                t.release.push_back(*first);
        }
        return go();
    }

    void keep(int relay, const Timing& t) {
        ChannelDiagnosis& c = r_.channels[relay];
        c.operate = figures(t.operate);
        c.release = figures(t.release);
        c.bounce = figures(t.bounce);
        c.bounces = t.bounces;
        const double settles = std::max(c.operate.max.value_or(0) + c.bounce.max.value_or(0),
                                        c.release.max.value_or(0));
        c.needsMs = static_cast<int>(std::ceil(settles));
        timing_[relay] = t;
    }

    // The inputs active after writing a pattern (bit r: relay r closed) and waiting wait.
    bool pattern(int relays, std::int64_t waitUs, int& active) {
        if (!write(0, relays & 0xFF) || !write(1, relays >> 8))
            return false;
        d_.waitUntil(d_.nowUs() + waitUs);
        r_.waitedMs += double(waitUs) / 1000.0;
        return read(active);
    }

    void measure() {
        // Each relay's times on the input it should drive.
        for (int relay = 0; relay < 16 && go(); ++relay) {
            Timing t;
            if (!time(relay, 15 - relay, t))
                return;
            keep(relay, t);
        }
        // The map, each pattern read once its contacts have settled, from the measured times.
        int settlesMs = 0;
        for (const ChannelDiagnosis& c : r_.channels)
            settlesMs = std::max(settlesMs, c.needsMs);
        const std::int64_t waitUs = std::clamp<std::int64_t>(
            std::max<std::int64_t>(s_.readbackMs * 1000, settlesMs * 1200 + 1000), 1000,
            s_.timeoutUs);
        std::vector<int> base(s_.repeat), all(s_.repeat);
        std::vector<std::array<int, 16>> one(s_.repeat), zero(s_.repeat);
        for (int k = 0; k < s_.repeat; ++k) {
            if (!go() || !pattern(0, waitUs, base[k]))
                return;
            for (int relay = 0; relay < 16; ++relay)
                if (!go() || !pattern(1 << relay, waitUs, one[k][relay]))
                    return;
            for (int relay = 0; relay < 16; ++relay)
                if (!go() || !pattern(0xFFFF & ~(1 << relay), waitUs, zero[k][relay]))
                    return;
            if (!go() || !pattern(0xFFFF, waitUs, all[k]))
                return;
        }
        if (!write(0, 0) || !write(1, 0))
            return;
        d_.waitUntil(d_.nowUs() + waitUs);
        r_.waitedMs += double(waitUs) / 1000.0;

        // Input i follows relay r when closing r alone activates it. Opening r alone, the rest
        // closed, must let its own input go every time or never (a bridge keeps it active).
        std::array<std::array<int, 16>, 16> times{}; // repeats in which i followed r
        for (int k = 0; k < s_.repeat; ++k)
            for (int relay = 0; relay < 16; ++relay) {
                for (int i = 0; i < 16; ++i) {
                    const int bit = 1 << i;
                    times[relay][i] += (one[k][relay] & bit) && !(base[k] & bit) ? 1 : 0;
                }
                const int own = 1 << (15 - relay);
                opens_[relay] += (all[k] & own) && !(zero[k][relay] & own) ? 1 : 0;
            }
        for (int relay = 0; relay < 16; ++relay)
            for (int i = 0; i < 16; ++i)
                r_.map[relay][i] = times[relay][i] > 0 ? 1 : 0;

        // A relay that drives another input than its own is timed again on that one.
        for (int relay = 0; relay < 16 && go(); ++relay) {
            std::vector<int> drives;
            for (int i = 0; i < 16; ++i)
                if (r_.map[relay][i])
                    drives.push_back(i);
            r_.channels[relay].drives = drives;
            const bool own = std::find(drives.begin(), drives.end(), 15 - relay) != drives.end();
            Timing t;
            if (!drives.empty() && !own) {
                if (!time(relay, drives.front(), t))
                    return;
                keep(relay, t);
            }
        }
        classify(base, times);
        r_.resolutionMs = intervals_.empty() ? 0 : median(intervals_) / 1000.0;
    }

    static double median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    void classify(const std::vector<int>& base, const std::array<std::array<int, 16>, 16>& times) {
        for (ChannelDiagnosis& c : r_.channels) {
            const int e = c.input;
            const auto& drives = c.drives;
            const Timing& t = timing_[c.relay];
            const bool stuck = std::all_of(base.begin(), base.end(),
                                           [e](int active) { return active & (1 << e); });
            bool steady = true; // every repeat, and every closing, gave the same answer
            for (int i = 0; i < 16; ++i)
                steady = steady && (times[c.relay][i] == 0 || times[c.relay][i] == s_.repeat);
            steady = steady && (t.moved == 0 || t.moved == t.closings) &&
                     (opens_[c.relay] == 0 || opens_[c.relay] == s_.repeat);
            const std::string r = std::to_string(c.relay), in = std::to_string(e);
            if (stuck) {
                c.kind = Class::StuckActive;
                c.words = "input " + in + " is active whatever the relays do";
            } else if (drives.empty()) {
                c.kind = Class::Open;
                c.words = "input " + in + " never followed relay " + r + ": the relay does not " +
                          "close, a wire of channel " + r + " is broken, or input " + in +
                          " is dead";
            } else if (!steady) {
                c.kind = Class::Intermittent;
                const int k = times[c.relay][e];
                c.words = "relay " + r +
                          "'s channel answered differently between repeats: " + "input " + in +
                          " followed it in " + std::to_string(k) + " of " +
                          std::to_string(s_.repeat) + " repeats and " + std::to_string(t.moved) +
                          " of " + std::to_string(t.closings) + " closings";
            } else if (drives.size() > 1) {
                c.kind = Class::Short;
                std::vector<int> others;
                for (int i : drives)
                    if (i != e)
                        others.push_back(15 - i);
                c.words = "relay " + r + " drives inputs " + list(drives) + ", expected " + in +
                          " alone: channel " + r + " is bridged to channel" +
                          (others.size() > 1 ? "s " : " ") + list(others);
            } else if (drives.front() != e) {
                c.kind = Class::Miswired;
                const int j = drives.front();
                const int other = 15 - j;
                const auto& back = r_.channels[other].drives;
                const bool swapped = back.size() == 1 && back.front() == e;
                c.words =
                    "relay " + r + " drives input " + std::to_string(j) + ", expected " + in +
                    (swapped
                         ? ": the wires of channels " + std::to_string(std::min(c.relay, other)) +
                               " and " + std::to_string(std::max(c.relay, other)) + " are swapped"
                         : ": the wire of channel " + r + " goes to input " + std::to_string(j));
            } else if (c.needsMs > s_.readbackMs) {
                c.kind = Class::Slow;
                c.words = "relay " + r + " drives input " + in + ", but its input settles only " +
                          "after up to " + std::to_string(c.needsMs) +
                          " ms: the read-back delay needs at least " + std::to_string(c.needsMs) +
                          " ms (it is " + std::to_string(s_.readbackMs) + " ms)";
            } else {
                c.kind = Class::Ok;
                c.words = "relay " + r + " drives input " + in + ", as wired";
            }
        }
    }

    PortDevice& d_;
    DiagnosisSettings s_;
    const std::function<bool()>& stopped_;
    DiagnosisReport r_;
    std::array<Timing, 16> timing_{};
    std::array<int, 16> opens_{}; // repeats in which opening the relay alone let its input go
    std::vector<double> intervals_;
};

} // namespace

const char* className(ChannelDiagnosis::Class kind) {
    switch (kind) {
    case Class::Ok:
        return "ok";
    case Class::Open:
        return "open";
    case Class::StuckActive:
        return "stuck-active";
    case Class::Miswired:
        return "miswired";
    case Class::Short:
        return "short";
    case Class::Intermittent:
        return "intermittent";
    case Class::Slow:
        return "slow";
    case Class::Unknown:
        break;
    }
    return "unknown";
}

bool DiagnosisReport::passed() const {
    return failure.empty() && std::all_of(channels.begin(), channels.end(), [](const auto& c) {
               return c.kind == ChannelDiagnosis::Class::Ok;
           });
}

DiagnosisReport diagnose(PortDevice& device, const DiagnosisSettings& settings,
                         const std::function<bool()>& stopped) {
    return Diagnoser(device, settings, stopped).run();
}
