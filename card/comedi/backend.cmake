# Data-acquisition cards: the layout and the entries are always built (and tested with a fake
# library); the adapter to comedilib only with the library.
target_sources(looptest_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ComediDevice.h ${CMAKE_CURRENT_LIST_DIR}/ComediDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComediEntry.h ${CMAKE_CURRENT_LIST_DIR}/ComediEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComediBackend.h ${CMAKE_CURRENT_LIST_DIR}/ComediBackend.cpp)
looptest_optional_backend(comedi "data-acquisition cards" comedilib.h comedilib libcomedi-dev
  ${CMAKE_CURRENT_LIST_DIR}/ComediLibrary.cpp)
