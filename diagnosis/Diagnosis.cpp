#include "diagnosis/Diagnosis.h"

#include "diagnosis/Classes.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

using Class = ChannelDiagnosis::Class;
using diagnosis::Facts;
using diagnosis::Timing;

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

// What one watch after a write saw of the input watched: when it first changed, when it last
// changed, how often; and which other inputs became active meanwhile, when asked.
struct Seen {
    std::optional<double> first, last;
    int changes = 0;
    int others = 0;
    // The least the first and the last change may have taken: a change seen by a sample came
    // after the sample before it, at most the watch's longest gap earlier; one that the first
    // samples may have seen came, for all the watch can tell, as the write went out.
    double firstLeast = 0, lastLeast = 0;
};

// --- The method -----------------------------------------------------------------------------

class Diagnoser {
public:
    Diagnoser(PortDevice& device, const DiagnosisSettings& s, const std::function<bool()>& stopped,
              const DiagnosisObserver& observer)
        : d_(device)
        , s_(s)
        , stopped_(stopped)
        , observer_(observer) {
        step_.steps = 1 + 16 + s_.repeat + 1;
        step_.mapsLeft = s_.repeat;
    }

    DiagnosisReport run() {
        r_.settings = s_;
        for (int relay = 0; relay < 16; ++relay) {
            r_.channels[relay].relay = relay;
            r_.channels[relay].input = 15 - relay;
        }
        tell("settling");
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
    bool go() {
        return r_.failure.empty() && !(stopped_ && stopped_() && !failed(kDiagnosisCutShort));
    }
    void tell(const std::string& what) {
        step_.what = what;
        if (observer_.step)
            observer_.step(step_);
    }
    // A relay's figures, judged, for those who show them as they come.
    void timed(int relay, bool followed) {
        if (!observer_.timed)
            return;
        ChannelDiagnosis c = r_.channels[relay];
        judgeChannel(c, s_.limits);
        observer_.timed(c, followed);
    }
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

    // Writes a port and watches input i for at most timeoutUs; with lookElsewhere, also which
    // other inputs became active meanwhile, on either port.
    bool writeAndWatch(int port, int byte, int input, std::int64_t timeoutUs, bool lookElsewhere,
                       Seen& seen) {
        seen = {};
        int before = 0;
        if (!read(before))
            return false;
        const std::int64_t t0 = d_.nowUs();
        if (!write(port, byte))
            return false;
        PortDevice::Watch w;
        const std::int64_t start = d_.nowUs();
        const int shift = 8 * (input / 8);
        if (!d_.watch(input / 8, static_cast<std::uint8_t>(~(before >> shift) & 0xFF), timeoutUs,
                      w))
            return failed("watching port " + std::to_string(input / 8) +
                          " failed: " + d_.lastError());
        intervals_.push_back(w.intervalUs);
        const double gapMs = w.longestGapUs / 1000.0;
        r_.longestGapMs = std::max(r_.longestGapMs, gapMs);
        // What the method had to wait: until the byte settled, or the time-out.
        r_.waitedMs += w.changes.empty()
                           ? double(timeoutUs) / 1000.0
                           : double(w.changes.back().us - start + PortDevice::kSettleUs) / 1000.0;
        const int bit = 1 << (input % 8);
        int state = ~(before >> shift) & bit;
        for (const PortDevice::Change& c : w.changes) {
            if ((c.byte & bit) == state)
                continue;
            state = c.byte & bit;
            const double ms = double(c.us - t0) / 1000.0;
            if (!seen.first)
                seen.first = ms;
            seen.last = ms;
            ++seen.changes;
        }
        const double wroteMs = double(start - t0) / 1000.0;
        auto least = [&](double ms) { return ms - gapMs > wroteMs ? ms - gapMs : 0.0; };
        seen.firstLeast = least(seen.first.value_or(0));
        seen.lastLeast = least(seen.last.value_or(0));
        int after = 0;
        if (lookElsewhere && read(after))
            seen.others = after & ~before & ~(1 << input);
        return r_.failure.empty();
    }

    // Closes relay alone and opens it again, repeat times, timing input. A closing is watched
    // long while the relay has not answered yet, or has answered before (it may be slow);
    // a relay that never answered is watched no longer than the usual time-out after its
    // first closing. An opening is watched when its closing moved the input.
    bool time(int relay, int input, bool lookElsewhere, Timing& t) {
        t = {};
        const int port = relay / 8, bit = 1 << (relay % 8);
        for (int k = 0; k < s_.repeat && go(); ++k) {
            Seen closing, opening;
            const std::int64_t watch = k == 0 || t.moved > 0 ? s_.longTimeoutUs : s_.timeoutUs;
            if (!writeAndWatch(port, bit, input, watch, lookElsewhere && k == 0, closing))
                return false;
            ++t.closings;
            if (k == 0)
                t.elsewhere = closing.others;
            if (closing.first) {
                ++t.moved;
                t.leastMs = std::max(t.leastMs, closing.lastLeast);
                t.operate.push_back(*closing.first);
                t.bounce.push_back(*closing.last - *closing.first);
                t.bounces = std::max(t.bounces, (closing.changes - 1) / 2);
                if (!writeAndWatch(port, 0, input, s_.longTimeoutUs, false, opening))
                    return false;
                if (opening.first) {
                    t.leastMs = std::max(t.leastMs, opening.firstLeast);
                    t.release.push_back(*opening.first);
                }
            } else if (!write(port, 0)) {
                return false;
            }
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
        c.leastMs = t.leastMs;
        timing_[relay] = t;
    }

    // How long a pattern waits after the one before: for the slowest relay it moves, as
    // measured on whatever input it drives, with a margin; at least the read-back delay.
    std::int64_t waitFor(int from, int to) const {
        std::int64_t us = s_.readbackMs * 1000;
        for (int relay = 0; relay < 16; ++relay) {
            const int bit = 1 << relay;
            if ((from & bit) == (to & bit))
                continue;
            const ChannelDiagnosis& c = r_.channels[relay];
            const double ms = to & bit ? c.operate.max.value_or(0) + c.bounce.max.value_or(0)
                                       : c.release.max.value_or(0);
            us = std::max<std::int64_t>(us, std::int64_t(std::ceil(ms * 1200)) + 1000);
        }
        return std::clamp<std::int64_t>(us, 1000, s_.longTimeoutUs);
    }

    // The inputs active after writing a pattern (bit r: relay r closed) once its contacts
    // have settled.
    bool pattern(int relays, int& active) {
        const std::int64_t waitUs = waitFor(pattern_, relays);
        pattern_ = relays;
        if (!write(0, relays & 0xFF) || !write(1, relays >> 8))
            return false;
        d_.waitUntil(d_.nowUs() + waitUs);
        r_.waitedMs += double(waitUs) / 1000.0;
        return read(active);
    }

    // Each relay's times on the input it should drive; one whose first closing moved only
    // another input is timed on that one, so that the map waits for it as it is.
    bool timeEach() {
        step_.done = 1;
        for (int relay = 0; relay < 16 && go(); ++relay) {
            step_.relaysLeft = 16 - relay;
            tell("timing relay " + std::to_string(relay) + " of 16");
            Timing t;
            if (!time(relay, 15 - relay, true, t))
                return false;
            keep(relay, t);
            if (t.moved == 0 && t.elsewhere != 0) {
                const int input = std::countr_zero(static_cast<unsigned>(t.elsewhere));
                tell("timing relay " + std::to_string(relay) + " again, on input " +
                     std::to_string(input));
                Timing there;
                if (!time(relay, input, false, there))
                    return false;
                if (there.moved > 0)
                    keep(relay, there);
            }
            timed(relay, t.moved > 0);
            ++step_.done;
        }
        step_.relaysLeft = 0;
        return go();
    }

    void measure() {
        if (!timeEach())
            return;
        std::vector<int> base(s_.repeat), all(s_.repeat);
        std::vector<std::array<int, 16>> one(s_.repeat), zero(s_.repeat);
        for (int k = 0; k < s_.repeat; ++k) {
            step_.done = 1 + 16 + k;
            step_.mapsLeft = s_.repeat - k;
            tell("the map, repeat " + std::to_string(k + 1) + " of " + std::to_string(s_.repeat));
            if (!go() || !pattern(0, base[k]))
                return;
            for (int relay = 0; relay < 16; ++relay)
                if (!go() || !pattern(1 << relay, one[k][relay]))
                    return;
            for (int relay = 0; relay < 16; ++relay)
                if (!go() || !pattern(0xFFFF & ~(1 << relay), zero[k][relay]))
                    return;
            if (!go() || !pattern(0xFFFF, all[k]))
                return;
        }
        int none = 0;
        if (!pattern(0, none))
            return;
        step_.done = 1 + 16 + s_.repeat;
        step_.mapsLeft = 0;

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

        // A relay that drives another input than its own, and was not timed there, is now.
        for (int relay = 0; relay < 16 && go(); ++relay) {
            std::vector<int> drives;
            for (int i = 0; i < 16; ++i)
                if (r_.map[relay][i])
                    drives.push_back(i);
            r_.channels[relay].drives = drives;
            const bool own = std::find(drives.begin(), drives.end(), 15 - relay) != drives.end();
            Timing t;
            if (!drives.empty() && !own && timing_[relay].moved == 0) {
                tell("timing relay " + std::to_string(relay) + " again, on input " +
                     std::to_string(drives.front()));
                if (!time(relay, drives.front(), false, t))
                    return;
                keep(relay, t);
                timed(relay, false);
            }
        }
        tell("classing the channels");
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
            const Timing& t = timing_[c.relay];
            bool steady = true;
            for (int i = 0; i < 16; ++i)
                steady = steady && (times[c.relay][i] == 0 || times[c.relay][i] == s_.repeat);
            steady = steady && (t.moved == 0 || t.moved == t.closings) &&
                     (opens_[c.relay] == 0 || opens_[c.relay] == s_.repeat);
            const Facts f{c,
                          r_,
                          t,
                          std::all_of(base.begin(), base.end(),
                                      [e](int active) { return active & (1 << e); }),
                          steady,
                          c.drives.empty() ? 0 : times[c.relay][c.drives.front()],
                          s_.repeat,
                          s_.readbackMs,
                          static_cast<int>(s_.longTimeoutUs / 1000)};
            diagnosis::classify(c, f);
        }
    }

    PortDevice& d_;
    DiagnosisSettings s_;
    const std::function<bool()>& stopped_;
    const DiagnosisObserver& observer_;
    DiagnosisStep step_;
    DiagnosisReport r_;
    int pattern_ = 0; // the relays closed now
    std::array<Timing, 16> timing_{};
    std::array<int, 16> opens_{}; // repeats in which opening the relay alone let its input go
    std::vector<double> intervals_;
};

} // namespace

bool DiagnosisReport::passed() const {
    return failure.empty() && std::all_of(channels.begin(), channels.end(), [](const auto& c) {
               return c.kind == ChannelDiagnosis::Class::Ok && c.judged != Verdict::Fail;
           });
}

DiagnosisReport diagnose(PortDevice& device, const DiagnosisSettings& settings,
                         const std::function<bool()>& stopped, const DiagnosisObserver& observer) {
    DiagnosisReport report = Diagnoser(device, settings, stopped, observer).run();
    judgeDiagnosis(report, settings.limits);
    return report;
}

DiagnosisReport diagnose(PortDevice& device, const DiagnosisSettings& settings,
                         const std::function<bool()>& stopped,
                         const std::function<void(const std::string&)>& progress) {
    DiagnosisObserver observer;
    if (progress)
        observer.step = [&progress](const DiagnosisStep& s) { progress(s.what); };
    return diagnose(device, settings, stopped, observer);
}

double diagnosisTimeLeftMs(const DiagnosisStep& step, const DiagnosisSettings& settings) {
    // A relay that never answers: one long watch, then a short one for each later closing.
    const double relayMs = double(settings.longTimeoutUs) / 1000.0 +
                           double(settings.repeat - 1) * double(settings.timeoutUs) / 1000.0;
    // A repeat of the map: all open, sixteen walking one, sixteen walking zero, all closed.
    const double mapMs = 34.0 * settings.readbackMs;
    const double settleMs = step.done == 0 ? double(settings.startUs) / 1000.0 : 0.0;
    return settleMs + step.relaysLeft * relayMs + step.mapsLeft * mapMs;
}
