#pragma once

#include "card/Backend.h"
#include "card/comedi/ComediEntry.h"

// Digital I/O cards of the data-acquisition library (comedilib), at /dev/comediN: the spec
// "comedi:/dev/comediN". Its settings are the device file's path, a std::string. A test's
// stand-in is the folder searched for devices and the library to open them with.
const Backend& comediBackend();

struct ComediStandIn {
    std::string deviceDir;
    ComediEntry::Library library;
};
