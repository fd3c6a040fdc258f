#pragma once

#include "card/Backend.h"
#include "card/simulator/LoopbackSimulator.h"

// The built-in loop-back simulator: "sim", or "sim:" with the faults it plays and its relays'
// operate and release times. Its settings are a SimulatorFault. A test's stand-in is the clock
// it runs on and the wait on that clock.
const Backend& simulatorBackend();

struct SimulatorStandIn {
    LoopbackSimulator::Clock clock;
    LoopbackSimulator::Wait wait; // until the clock reaches a time
};
