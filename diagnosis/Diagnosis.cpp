#include "diagnosis/Diagnosis.h"

#include <algorithm>
#include <bit>
#include <cmath>

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
    int moved = 0;     // closings that moved the input
    int elsewhere = 0; // other inputs its first closing made active (a mask)
};

// What one watch after a write saw of the input watched: when it first changed, when it last
// changed, how often; and which other inputs became active meanwhile, when asked.
struct Seen {
    std::optional<double> first, last;
    int changes = 0;
    int others = 0;
};

// --- The classes ----------------------------------------------------------------------------

// All a class's test and words need of a channel.
struct Facts {
    const ChannelDiagnosis& c;
    const DiagnosisReport& r;
    const Timing& t;
    bool stuck;   // its input was active in every read of all relays open
    bool steady;  // every repeat, and every closing, gave the same answer
    int followed; // repeats of the map in which its own input followed it
    int repeat;
    int readbackMs;
    int longestWatchMs;
};

std::string num(int n) {
    return std::to_string(n);
}

// How slow a channel's input is to settle, and what that asks of the read-back delay.
std::string slowWords(const Facts& f) {
    const std::string needs = num(f.c.needsMs);
    return f.c.needsMs > kLongestReadbackMs
               ? "its input settles only after up to " + needs + " ms: no read-back delay of " +
                     "the program suffices (" + num(kLongestReadbackMs) +
                     " ms at most); the relay is too slow for this card's test"
               : "its input settles only after up to " + needs +
                     " ms: the read-back delay needs at least " + needs + " ms (it is " +
                     num(f.readbackMs) + " ms)";
}

std::string unsteadyWords(const Facts& f) {
    return "it answered differently between repeats: input " +
           num(f.c.drives.empty() ? f.c.input : f.c.drives.front()) + " followed it in " +
           num(f.followed) + " of " + num(f.repeat) + " repeats and " + num(f.t.moved) + " of " +
           num(f.t.closings) + " closings";
}

// What else is wrong with a channel whose wiring is wrong: its timing, in words.
std::string timingWords(const Facts& f) {
    std::string more;
    if (!f.steady)
        more += "; also " + unsteadyWords(f) + " (a worn contact or a loose wire)";
    if (f.c.needsMs > f.readbackMs)
        more += "; also slow: " + slowWords(f);
    if (f.c.bounces > 0)
        more += "; its contact bounces up to " + num(f.c.bounces) + " times";
    return more;
}

std::string swapOrWire(const Facts& f) {
    const std::string r = num(f.c.relay);
    const int j = f.c.drives.front();
    const int other = 15 - j;
    const auto& back = f.r.channels[other].drives;
    const bool swapped = back.size() == 1 && back.front() == f.c.input;
    return "relay " + r + " drives input " + num(j) + ", expected " + num(f.c.input) +
           (swapped ? ": the wires of channels " + num(std::min(f.c.relay, other)) + " and " +
                          num(std::max(f.c.relay, other)) + " are swapped"
                    : ": the wire of channel " + r + " goes to input " + num(j));
}

struct ClassRule {
    ClassInfo info;
    bool (*test)(const Facts&);
    std::string (*words)(const Facts&);
};

// Weighed in this order: what the inputs cannot tell apart is named as both; a wiring fault is
// named before what is wrong with the timing of the same channel, which its words then add.
const std::vector<ClassRule>& rules() {
    static const std::vector<ClassRule> table = {
        {{Class::StuckActive, "stuck-active", "the input is active whatever the relays do",
          "the input (a shorted opto-coupler, a wire touching a live one), and the relay's "
          "contact: a contact welded shut looks the same from the inputs"},
         [](const Facts& f) { return f.stuck; },
         [](const Facts& f) {
             return "input " + num(f.c.input) + " is active whatever the relays do: input " +
                    num(f.c.input) + " is stuck active, or relay " + num(f.c.relay) +
                    "'s contact is welded shut (the inputs cannot tell which)";
         }},
        {{Class::Open, "open", "the input never becomes active, though watched for a second",
          "the relay (does it close?), the channel's wire, the input: a relay that never "
          "closes and a dead input look the same from the inputs"},
         [](const Facts& f) { return f.c.drives.empty(); },
         [](const Facts& f) {
             const std::string r = num(f.c.relay), in = num(f.c.input);
             return "input " + in + " never followed relay " + r + " within " +
                    num(f.longestWatchMs) + " ms: relay " + r + " does not close, a wire of " +
                    "channel " + r + " is broken, or input " + in + " is dead";
         }},
        {{Class::Short, "short",
          "the input follows more than one relay: the channels are bridged; what is wrong with "
          "its timing as well is added",
          "the named channels' wires and terminals"},
         [](const Facts& f) { return f.c.drives.size() > 1; },
         [](const Facts& f) {
             std::vector<int> others;
             for (int i : f.c.drives)
                 if (i != f.c.input)
                     others.push_back(15 - i);
             const std::string r = num(f.c.relay);
             return "relay " + r + " drives inputs " + list(f.c.drives) + ", expected " +
                    num(f.c.input) + " alone: channel " + r + " is bridged to channel" +
                    (others.size() > 1 ? "s " : " ") + list(others) + timingWords(f);
         }},
        {{Class::Miswired, "miswired",
          "the input follows one other relay instead; the words name it, say when two "
          "channels' wires are swapped, and add what is wrong with its timing as well",
          "the wiring, against the words: \"relay 2 drives input 8, expected 13: the wires of "
          "channels 2 and 7 are swapped\""},
         [](const Facts& f) { return f.c.drives.front() != f.c.input; },
         [](const Facts& f) { return swapOrWire(f) + timingWords(f); }},
        {{Class::Intermittent, "intermittent",
          "the channel answered differently between repeats, or some closings did not move its "
          "input",
          "the relay's contact (worn), a loose wire"},
         [](const Facts& f) { return !f.steady; },
         [](const Facts& f) {
             return "relay " + num(f.c.relay) + "'s channel: " + unsteadyWords(f);
         }},
        {{Class::Slow, "slow",
          "it passes, but its input settles only after the read-back delay; the words say the "
          "delay it needs, or that none of the program's (500 ms at most) suffices",
          "the relay type, or set `--readback` / \"Get Speed(ms)\" to what it needs"},
         [](const Facts& f) { return f.c.needsMs > f.readbackMs; },
         [](const Facts& f) {
             return "relay " + num(f.c.relay) + " drives input " + num(f.c.input) + ", but " +
                    slowWords(f);
         }},
        {{Class::Ok, "ok", "the relay drives its input, steadily, within the read-back delay", ""},
         [](const Facts&) { return true; },
         [](const Facts& f) {
             return "relay " + num(f.c.relay) + " drives input " + num(f.c.input) + ", as wired";
         }},
    };
    return table;
}

// --- The method -----------------------------------------------------------------------------

class Diagnoser {
public:
    Diagnoser(PortDevice& device, const DiagnosisSettings& s, const std::function<bool()>& stopped,
              const std::function<void(const std::string&)>& progress)
        : d_(device)
        , s_(s)
        , stopped_(stopped)
        , progress_(progress) {}

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
    void tell(const std::string& what) {
        if (progress_)
            progress_(what);
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
        r_.longestGapMs = std::max(r_.longestGapMs, w.longestGapUs / 1000.0);
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
                t.operate.push_back(*closing.first);
                t.bounce.push_back(*closing.last - *closing.first);
                t.bounces = std::max(t.bounces, (closing.changes - 1) / 2);
                if (!writeAndWatch(port, 0, input, s_.longTimeoutUs, false, opening))
                    return false;
                if (opening.first)
                    t.release.push_back(*opening.first);
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
        for (int relay = 0; relay < 16 && go(); ++relay) {
            tell("timing relay " + std::to_string(relay) + " of 16");
            Timing t;
            if (!time(relay, 15 - relay, true, t))
                return false;
            keep(relay, t);
            if (t.moved == 0 && t.elsewhere != 0) {
                Timing there;
                if (!time(relay, std::countr_zero(static_cast<unsigned>(t.elsewhere)), false,
                          there))
                    return false;
                if (there.moved > 0)
                    keep(relay, there);
            }
        }
        return go();
    }

    void measure() {
        if (!timeEach())
            return;
        std::vector<int> base(s_.repeat), all(s_.repeat);
        std::vector<std::array<int, 16>> one(s_.repeat), zero(s_.repeat);
        for (int k = 0; k < s_.repeat; ++k) {
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
                if (!time(relay, drives.front(), false, t))
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
            for (const ClassRule& rule : rules())
                if (rule.test(f)) {
                    c.kind = rule.info.kind;
                    c.words = rule.words(f);
                    break;
                }
        }
    }

    PortDevice& d_;
    DiagnosisSettings s_;
    const std::function<bool()>& stopped_;
    const std::function<void(const std::string&)>& progress_;
    DiagnosisReport r_;
    int pattern_ = 0; // the relays closed now
    std::array<Timing, 16> timing_{};
    std::array<int, 16> opens_{}; // repeats in which opening the relay alone let its input go
    std::vector<double> intervals_;
};

} // namespace

const std::vector<ClassInfo>& diagnosisClasses() {
    static const std::vector<ClassInfo> infos = [] {
        std::vector<ClassInfo> out;
        for (const ClassRule& rule : rules())
            out.push_back(rule.info);
        return out;
    }();
    return infos;
}

const char* className(ChannelDiagnosis::Class kind) {
    for (const ClassInfo& info : diagnosisClasses())
        if (info.kind == kind)
            return info.name;
    return "unknown";
}

bool DiagnosisReport::passed() const {
    return failure.empty() && std::all_of(channels.begin(), channels.end(), [](const auto& c) {
               return c.kind == ChannelDiagnosis::Class::Ok;
           });
}

DiagnosisReport diagnose(PortDevice& device, const DiagnosisSettings& settings,
                         const std::function<bool()>& stopped,
                         const std::function<void(const std::string&)>& progress) {
    return Diagnoser(device, settings, stopped, progress).run();
}
