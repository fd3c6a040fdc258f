#pragma once

#include "card/Backend.h"
#include "card/simulator/LoopbackSimulator.h"

// The built-in loop-back simulator: "sim", or "sim:FAULT" with one of its faults, and its
// relays' operate time. Its settings are a SimulatorFault. A test's stand-in is the clock it
// runs on.
const Backend& simulatorBackend();

struct SimulatorStandIn {
    LoopbackSimulator::Clock clock;
};
