#include "card/LoopbackSimulator.h"

namespace {

std::uint8_t reverseBits(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int k = 0; k < 8; ++k)
        r |= static_cast<std::uint8_t>(((b >> k) & 1) << (7 - k));
    return r;
}

bool validPort(std::int32_t port) {
    return port == 0 || port == 1;
}

} // namespace

bool LoopbackSimulator::read(std::int32_t port, std::int16_t& data) {
    if (!validPort(port))
        return false;
    // Input 8p + k is driven by relay 15 - 8p - k, which is bit 7 - k of the other port's relay
    // byte: the inputs of one port are the other port's relays in reverse bit order.
    const std::uint8_t active = reverseBits(relays_[1 - port]);
    data = static_cast<std::int16_t>(0xFF & ~active);
    return true;
}

bool LoopbackSimulator::write(std::int32_t port, std::int16_t data) {
    if (!validPort(port))
        return false;
    relays_[port] = static_cast<std::uint8_t>(data & 0xFF);
    return true;
}
