#pragma once

#include "card/modbus/ModbusSettings.h"
#include "card/simulator/LoopbackSimulator.h"

#include <string>

// A device named in one argument, the way the command line names an entry of the chooser with
// its settings:
//   sim | sim:FAULT[,operate-ms=T] | sim:operate-ms=T
//   isa | isa:BASE (hexadecimal)
//   comedi:/dev/comediN
//   modbus-tcp:HOST[:PORT][,unit=N][,coils=A][,inputs=B]
//   modbus-rtu:DEVICE[,baud=B][,parity=N|E|O][,unit=N][,coils=A][,inputs=B]
struct DeviceSpec {
    enum class Kind { Simulator, Isa, Comedi, Modbus };
    Kind kind = Kind::Simulator;
    SimulatorFault fault;  // the simulator's
    unsigned base = 0x300; // the ISA card's
    std::string path;      // the data-acquisition card's device file
    ModbusSettings modbus; // the Modbus module's
    std::string text;      // as given
};

// Parses a device spec; false with what was expected instead.
bool parseDeviceSpec(const std::string& text, DeviceSpec& spec, std::string& why);
