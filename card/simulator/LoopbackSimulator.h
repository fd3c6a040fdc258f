#pragma once

#include "card/PortDevice.h"

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>

// One wiring or card fault for the simulator to play, for a run.
struct SimulatorFault {
    enum class Kind {
        Healthy,
        RelayNeverCloses, // relay n
        InputStuckActive, // input n
        InputNeverActive, // input n
        SwappedWires,     // the wires of channels n and m change places
        EveryKthWriteFails,
        EveryKthReadFails,
        DeadAfterK,   // every call after the first k fails
        Intermittent, // each closing of relay n fails with probability percent %
    };
    Kind kind = Kind::Healthy;
    int n = 0;
    int m = 1;
    int k = 10;
    int operateMs = 0;      // an input follows its relay only this long after the write
    int percent = 50;       // how often an intermittent contact fails to close
    std::uint32_t seed = 0; // of the intermittent contact's draws; 0: a different run each time
};

// A card whose relays are wired back to its inputs, relay r to input 15 - r, with active-low
// inputs as on the real card: healthy, every relay pattern reads back clean. It can play one
// fault, and relays can take time to operate, measured on an injectable clock.
class LoopbackSimulator : public PortDevice {
public:
    // Microseconds on a monotonic clock.
    using Clock = std::function<std::int64_t()>;
    static std::int64_t steadyMicroseconds();

    explicit LoopbackSimulator(SimulatorFault fault = {}, Clock clock = steadyMicroseconds);

    bool read(std::int32_t port, std::int16_t& data) override;
    bool write(std::int32_t port, std::int16_t data) override;

    // Why the last read or write failed: the fault that failed it, or the port it named.
    std::string lastError() const override { return lastError_; }

    // The relay byte last written to a port and taken (0 before any write).
    std::uint8_t relays(int port) const;

private:
    // Whether the fault fails this call (or its port is none of the card's); says why.
    bool callFails(bool isWrite, std::int32_t port);
    int relayFeeding(int input) const;
    bool contactClosed(int relay, std::int64_t now) const;

    struct Relay {
        bool wanted = false;    // the state last written
        bool misses = false;    // this closing of an intermittent contact failed
        bool before = false;    // the state before that write
        std::int64_t since = 0; // when it was written
    };
    SimulatorFault fault_;
    Clock clock_;
    std::array<Relay, 16> relays_{};
    std::uint64_t writes_ = 0;
    std::uint64_t reads_ = 0;
    std::mt19937 draws_;
    std::string lastError_;
};
