#pragma once

#include "card/simulator/LoopbackSimulator.h"

#include <string>
#include <vector>

// The faults the simulator plays, written once: the spec parser, the chooser, --help and the
// run's record all take their names, numbers and words from here.
struct FaultForm {
    // A number that follows the fault's name, and where it goes in the fault.
    struct Arg {
        const char* letter; // how the words call it: "N", "M", "K", "P", "MS"
        int SimulatorFault::*field;
        int min, max;
        const char* what; // "a channel from 0 to 15", for a message
    };
    SimulatorFault::Kind kind;
    const char* name;      // as a spec names it
    std::vector<Arg> args; // after "=", separated by commas
    const char* words;     // "relay N never closes": the letters stand for the numbers
    bool distinct = false; // its two numbers must differ
};

// Every fault but healthy wiring, in the order the chooser and --help list them.
const std::vector<FaultForm>& faultForms();
// The form of a kind of fault, or nullptr for healthy wiring.
const FaultForm* faultForm(SimulatorFault::Kind kind);
// How a spec writes it, with the letters for its numbers: "NAME=N,M".
std::string specOf(const FaultForm& form);
// Its words with the fault's numbers in place of the letters: "relay 3 never closes".
std::string wordsOf(const FaultForm& form, const SimulatorFault& fault);

// A fault in words, for the run's record: "relay 3 never closes, relays operate in 30 ms".
std::string describe(const SimulatorFault& fault);
