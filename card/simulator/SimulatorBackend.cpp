#include "card/simulator/SimulatorBackend.h"

#include "card/DeviceSpec.h"
#include "card/simulator/Faults.h"
#include "card/simulator/SimulatorEntry.h"

#include <charconv>

namespace {

bool number(const std::string& text, int min, int max, int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty() && value >= min &&
           value <= max;
}

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == by)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::string allFaults() {
    std::string all;
    const auto& forms = faultForms();
    for (std::size_t i = 0; i < forms.size(); ++i)
        all += (i == 0 ? "" : i + 1 == forms.size() ? " or " : ", ") + specOf(forms[i]);
    return all;
}

// One fault, "name=numbers".
bool parseFault(const std::string& text, SimulatorFault& fault, std::string& why) {
    const std::string name = text.substr(0, text.find('='));
    for (const FaultForm& form : faultForms()) {
        if (name != form.name)
            continue;
        const std::vector<std::string> values = split(
            text.find('=') == std::string::npos ? std::string() : text.substr(name.size() + 1),
            ',');
        if (text.find('=') == std::string::npos || values.size() != form.args.size()) {
            why = std::string("the fault ") + form.name + " takes " + specOf(form);
            return false;
        }
        fault.kind = form.kind;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const FaultForm::Arg& a = form.args[i];
            if (!number(values[i], a.min, a.max, fault.*a.field)) {
                why = std::string(form.name) + ": \"" + values[i] + "\" is not " + a.what;
                return false;
            }
        }
        if (form.distinct && fault.*form.args[0].field == fault.*form.args[1].field) {
            why = std::string(form.name) + " needs two different channels";
            return false;
        }
        return true;
    }
    why = "unknown simulator fault \"" + text + "\"; expected " + allFaults() +
          ", several joined with +, optionally followed by ,operate-ms=T and ,release-ms=T";
    return false;
}

// Takes a trailing ",name=T" off rest into ms; false with why when T is no time.
bool takeTime(std::string& rest, const std::string& name, int& ms, bool& took, std::string& why) {
    const std::size_t at = rest.rfind(name + "=");
    if (at == std::string::npos || (at > 0 && rest[at - 1] != ',') ||
        rest.find_first_of(",+", at) != std::string::npos)
        return true;
    if (!number(rest.substr(at + name.size() + 1), 0, 10000, ms)) {
        why = name + " takes a whole number of milliseconds from 0 to 10000";
        return false;
    }
    rest.resize(at == 0 ? 0 : at - 1);
    took = true;
    return true;
}

// FAULT[+FAULT...][,operate-ms=T][,release-ms=T], or the times alone for healthy wiring.
bool parse(const std::string&, const std::string* settings, std::any& into, std::string& why) {
    SimulatorFault fault;
    if (settings) {
        if (settings->empty()) {
            why = "sim: names no fault; expected sim or sim:FAULT with FAULT one of " + allFaults();
            return false;
        }
        // The relays' operate and release times close the spec, in either order, for every
        // fault and for healthy wiring alone.
        std::string rest = *settings;
        int operate = 0, release = -1;
        for (bool took = true; took;) {
            took = false;
            if (!takeTime(rest, "operate-ms", operate, took, why) ||
                !takeTime(rest, "release-ms", release, took, why))
                return false;
        }
        // Faults combine with "+", as a real card may have more than one.
        if (!rest.empty()) {
            for (const std::string& part : split(rest, '+')) {
                SimulatorFault one;
                if (!parseFault(part, one, why))
                    return false;
                if (fault.kind == SimulatorFault::Kind::Healthy)
                    fault = one;
                else
                    fault.also.push_back(one);
            }
        }
        fault.operateMs = operate;
        fault.releaseMs = release;
    }
    into = fault;
    return true;
}

void list(const DeviceSources& sources, const DeviceSpec*,
          std::vector<std::unique_ptr<DeviceEntry>>& entries) {
    const auto* standIn = sources.standIn<SimulatorStandIn>(simulatorBackend().name);
    entries.push_back(standIn ? std::make_unique<SimulatorEntry>(standIn->clock, standIn->wait)
                              : std::make_unique<SimulatorEntry>());
}

std::string faultHelp() {
    std::string help = "Simulator faults:\n";
    for (const FaultForm& form : faultForms()) {
        std::string spec = "  " + specOf(form);
        spec.resize(std::max<std::size_t>(spec.size() + 1, 27), ' ');
        help += spec + form.words + "\n";
    }
    return help;
}

// Two lines of --help's examples, with faults from the table.
std::string examples() {
    using Kind = SimulatorFault::Kind;
    return std::string("  looptest --device sim:") + faultForm(Kind::RelayNeverCloses)->name +
           "=3\n\n  looptest --headless --device sim:" + faultForm(Kind::SwappedWires)->name +
           "=2,5 --duration 90s --step 20\n\n";
}

} // namespace

const Backend& simulatorBackend() {
    static const Backend backend{
        "simulator",
        {"sim"},
        "sim, sim:FAULT[+FAULT...][,operate-ms=T][,release-ms=T]",
        "  sim                                the built-in loop-back simulator, healthy\n"
        "  sim:FAULT[+FAULT...][,operate-ms=T][,release-ms=T]\n"
        "                                     the simulator playing faults (below), its\n"
        "                                     relays taking T ms to operate and to release\n"
        "                                     (release as operate unless given); the times\n"
        "                                     alone: healthy\n",
        faultHelp(),
        examples(),
        {},
        parse,
        list,
    };
    return backend;
}
