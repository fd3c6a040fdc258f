#pragma once

#include "card/Backend.h"

// The ISA relay/photo card through the port helper: "isa", or "isa:BASE" with its I/O base in
// hexadecimal. Its settings are the base, an unsigned. A test's stand-in is the helper to run
// and a file it serves in place of the I/O space.
const Backend& isaBackend();

struct IsaStandIn {
    std::string helper;
    std::string portFile;
};
