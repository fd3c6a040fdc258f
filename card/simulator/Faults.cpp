#include "card/simulator/Faults.h"

#include <algorithm>
#include <cctype>

namespace {

using Kind = SimulatorFault::Kind;
using F = SimulatorFault;

const FaultForm::Arg kN{"N", &F::n, 0, 15, "a channel from 0 to 15"};
const FaultForm::Arg kM{"M", &F::m, 0, 15, "a channel from 0 to 15"};
const FaultForm::Arg kK{"K", &F::k, 1, 1'000'000'000, "a count from 1 to 1000000000"};
const FaultForm::Arg kP{"P", &F::percent, 0, 100, "a percentage from 0 to 100"};
const FaultForm::Arg kMs{"MS", &F::ms, 1, 10000, "a time from 1 to 10000 ms"};
const FaultForm::Arg kI{"I", &F::m, 0, 15, "an input from 0 to 15"};
const FaultForm::Arg kB{"K", &F::k, 1, 20, "a count from 1 to 20"};

} // namespace

const std::vector<FaultForm>& faultForms() {
    static const std::vector<FaultForm> forms = {
        {Kind::RelayNeverCloses, "relay-never-closes", {kN}, "relay N never closes"},
        {Kind::InputStuckActive, "input-stuck-active", {kN}, "input N is always active"},
        {Kind::InputNeverActive, "input-never-active", {kN}, "input N is never active"},
        {Kind::SwappedWires, "swap", {kN, kM}, "the wires of channels N and M are swapped", true},
        {Kind::EveryKthWriteFails, "write-fails-every", {kK}, "every Kth write fails"},
        {Kind::EveryKthReadFails, "read-fails-every", {kK}, "every Kth read fails"},
        {Kind::DeadAfterK, "dead-after", {kK}, "the card stops answering after K operations"},
        {Kind::Intermittent,
         "intermittent",
         {kN, kP},
         "each closing of relay N fails with probability P %"},
        {Kind::Slow, "slow", {kN, kMs}, "relay N takes MS ms to operate"},
        {Kind::Bounce, "bounce", {kN, kMs}, "relay N's contact bounces for MS ms as it closes"},
        {Kind::Shorted,
         "short",
         {kN, kM},
         "channels N and M are bridged: either relay activates both inputs",
         true},
        {Kind::Miswired,
         "miswire",
         {kN, kI},
         "the wire of relay N goes to input I instead of its own (one way)"},
        {Kind::Jitter,
         "jitter",
         {kN, kMs},
         "each closing of relay N takes up to MS ms longer, a different time each"},
        {Kind::Bounces,
         "bounces",
         {kN, kB},
         "relay N's contact bounces K times (with bounce=N,MS)"},
    };
    return forms;
}

const FaultForm* faultForm(SimulatorFault::Kind kind) {
    const auto& forms = faultForms();
    const auto it = std::find_if(forms.begin(), forms.end(),
                                 [kind](const FaultForm& f) { return f.kind == kind; });
    return it == forms.end() ? nullptr : &*it;
}

std::string specOf(const FaultForm& form) {
    std::string spec = std::string(form.name) + "=";
    for (std::size_t i = 0; i < form.args.size(); ++i)
        spec += (i ? "," : "") + std::string(form.args[i].letter);
    return spec;
}

std::string wordsOf(const FaultForm& form, const SimulatorFault& fault) {
    std::string words = form.words;
    for (const FaultForm::Arg& a : form.args) {
        // A letter stands alone, or before "th": "relay N", "every Kth".
        const std::string letter = a.letter;
        for (std::size_t at = words.find(letter); at != std::string::npos;
             at = words.find(letter, at + 1)) {
            const bool alone =
                (at == 0 || words[at - 1] == ' ') &&
                (at + letter.size() == words.size() ||
                 !std::isupper(static_cast<unsigned char>(words[at + letter.size()])));
            if (!alone)
                continue;
            const std::string value = std::to_string(fault.*a.field);
            words.replace(at, letter.size(), value);
            at += value.size() - 1;
        }
    }
    return words;
}

std::string describe(const SimulatorFault& fault) {
    const FaultForm* form = faultForm(fault.kind);
    std::string text = form ? wordsOf(*form, fault) : "healthy wiring";
    for (const SimulatorFault& more : fault.also)
        if (const FaultForm* f = faultForm(more.kind))
            text += "; " + wordsOf(*f, more);
    if (fault.operateMs > 0)
        text += ", relays operate in " + std::to_string(fault.operateMs) + " ms";
    if (fault.releaseMs >= 0 && fault.releaseMs != fault.operateMs)
        text += ", relays release in " + std::to_string(fault.releaseMs) + " ms";
    return text;
}
