#pragma once

#include "card/PortDevice.h"

#include <array>
#include <cstdint>

// A device that counts, relay by relay, the writes that closed a relay: every call goes on to
// the device it wraps, unchanged. For a card's book when no loop counts them (a diagnosis).
class ClosingCounter : public PortDevice {
public:
    explicit ClosingCounter(PortDevice& device)
        : device_(device) {}

    bool read(std::int32_t port, std::int16_t& data) override { return device_.read(port, data); }
    bool write(std::int32_t port, std::int16_t data) override {
        const bool ok = device_.write(port, data);
        if (ok && (port == 0 || port == 1)) {
            const int closing = data & 0xFF & ~written_[port];
            written_[port] = static_cast<std::uint8_t>(data & 0xFF);
            for (int k = 0; k < 8; ++k)
                closings[8 * port + k] += (closing >> k) & 1;
        }
        return ok;
    }
    std::string lastError() const override { return device_.lastError(); }
    std::int64_t nowUs() const override { return device_.nowUs(); }
    void waitUntil(std::int64_t untilUs) override { device_.waitUntil(untilUs); }
    bool watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs,
               Watch& out) override {
        return device_.watch(port, before, timeoutUs, out);
    }

    std::array<std::int64_t, 16> closings{};

private:
    PortDevice& device_;
    std::array<std::uint8_t, 2> written_{};
};
