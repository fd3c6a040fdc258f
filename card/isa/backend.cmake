# The ISA card through the port helper (a program of its own, built at the top): no library.
target_sources(looptest_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/PortHelperDevice.h ${CMAKE_CURRENT_LIST_DIR}/PortHelperDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/IsaCardEntry.h ${CMAKE_CURRENT_LIST_DIR}/IsaCardEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/IsaBackend.h ${CMAKE_CURRENT_LIST_DIR}/IsaBackend.cpp)
# Where the installed program finds its installed port helper, relative to itself.
file(RELATIVE_PATH looptest_helper_from_bin ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBEXECDIR}/looptest)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/PortHelperDevice.cpp PROPERTIES
  COMPILE_DEFINITIONS LOOPTEST_HELPER_FROM_BIN="${looptest_helper_from_bin}")
