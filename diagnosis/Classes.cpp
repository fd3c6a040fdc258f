#include "diagnosis/Classes.h"

#include <algorithm>
#include <string>

namespace diagnosis {

namespace {

using Class = ChannelDiagnosis::Class;

std::string list(const std::vector<int>& inputs) {
    std::string out;
    for (std::size_t i = 0; i < inputs.size(); ++i)
        out += (i == 0 ? "" : i + 1 == inputs.size() ? " and " : ", ") + std::to_string(inputs[i]);
    return out;
}

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
    if (slowerThan(f.c, f.readbackMs))
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
         [](const Facts& f) { return slowerThan(f.c, f.readbackMs); },
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

} // namespace

bool slowerThan(const ChannelDiagnosis& c, int readbackMs) {
    return c.needsMs > readbackMs && c.leastMs > double(readbackMs);
}

void classify(ChannelDiagnosis& c, const Facts& f) {
    for (const ClassRule& rule : rules())
        if (rule.test(f)) {
            c.kind = rule.info.kind;
            c.words = rule.words(f);
            return;
        }
}

} // namespace diagnosis

const std::vector<ClassInfo>& diagnosisClasses() {
    static const std::vector<ClassInfo> infos = [] {
        std::vector<ClassInfo> out;
        for (const diagnosis::ClassRule& rule : diagnosis::rules())
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
