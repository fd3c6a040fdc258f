#pragma once

#include "card/Backend.h"

// Modbus relay/input modules: "modbus-tcp:HOST[:PORT][,SETTINGS]" and
// "modbus-rtu:DEVICE[,SETTINGS]". Its settings are a ModbusSettings.
const Backend& modbusBackend();
