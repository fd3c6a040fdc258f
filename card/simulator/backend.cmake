# The loop-back simulator: always built, no library.
target_sources(looptest_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LoopbackSimulator.h ${CMAKE_CURRENT_LIST_DIR}/LoopbackSimulator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Faults.h ${CMAKE_CURRENT_LIST_DIR}/Faults.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimulatorEntry.h ${CMAKE_CURRENT_LIST_DIR}/SimulatorEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimulatorBackend.h ${CMAKE_CURRENT_LIST_DIR}/SimulatorBackend.cpp)
