#include "card/modbus/ModbusSettings.h"

std::string ModbusSettings::describe() const {
    const std::string where = rtu ? "RTU " + device + " " + std::to_string(baud) + " " +
                                        std::to_string(dataBits) + parity + std::to_string(stopBits)
                                  : "TCP " + host + ":" + std::to_string(port);
    return where + ", unit " + std::to_string(unit) + ", coils " + std::to_string(coils) + "-" +
           std::to_string(coils + 15) + ", discrete inputs " + std::to_string(inputs) + "-" +
           std::to_string(inputs + 15) + (verify ? "" : ", coils not read back");
}
