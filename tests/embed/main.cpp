#include "card/simulator/LoopbackSimulator.h"
#include "window/Layout.h"

// Builds against the library from outside and checks two facts that need no display.
int main() {
    LoopbackSimulator sim;
    std::int16_t data = 0;
    const bool ok = sim.write(1, 0x80) && sim.read(0, data) && data == 0xFE;
    return ok && layout::controls().size() == 66 ? 0 : 1;
}
