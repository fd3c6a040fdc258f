#pragma once

#include "card/PortDevice.h"

#include <array>
#include <cstdint>

// A card whose relays are wired back to its inputs, relay r to input 15 - r, with active-low
// inputs as on the real card: every relay pattern reads back clean.
class LoopbackSimulator : public PortDevice {
public:
    bool read(std::int32_t port, std::int16_t& data) override;
    bool write(std::int32_t port, std::int16_t data) override;

    // The relay byte last written to a port (0 before any write).
    std::uint8_t relays(int port) const { return relays_.at(port); }

private:
    std::array<std::uint8_t, 2> relays_{};
};
