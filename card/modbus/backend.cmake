# Modbus modules: the settings and their spec are always built; the device and its entry only
# with libmodbus.
target_sources(looptest_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ModbusSettings.h ${CMAKE_CURRENT_LIST_DIR}/ModbusSettings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ModbusBackend.h ${CMAKE_CURRENT_LIST_DIR}/ModbusBackend.cpp)
looptest_optional_backend(modbus "Modbus modules" modbus/modbus.h libmodbus libmodbus-dev
  ${CMAKE_CURRENT_LIST_DIR}/ModbusDevice.h ${CMAKE_CURRENT_LIST_DIR}/ModbusDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ModbusEntry.h ${CMAKE_CURRENT_LIST_DIR}/ModbusEntry.cpp)
