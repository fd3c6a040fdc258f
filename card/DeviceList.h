#pragma once

#include "card/comedi/ComediEntry.h"
#include "card/isa/IsaCardEntry.h"
#include "card/simulator/SimulatorEntry.h"

#include <memory>
#include <string>
#include <vector>

// Where the standard entries look for devices; tests point them elsewhere.
struct DeviceSources {
    // The port helper program; empty: the one installed with this program.
    std::string portHelper;
    // A file the helper serves in place of the I/O space; tests only.
    std::string portStandIn;
    std::string deviceDir = "/dev";
    bool modbus = true; // offer a Modbus module, in builds that can drive one
    ComediEntry::Library dioLibrary = makeComediLibrary;
    LoopbackSimulator::Clock clock = LoopbackSimulator::steadyMicroseconds;
};

// The entries the program offers: the ISA card, every data-acquisition card with 16 outputs
// and 16 inputs, a Modbus module (in builds with libmodbus), and the simulator last.
std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries(const DeviceSources& sources = {});
