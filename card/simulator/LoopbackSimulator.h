#pragma once

#include "card/PortDevice.h"

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

// A wiring or card fault for the simulator to play, for a run; more faults may come with it.
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
        Slow,         // relay n operates in ms milliseconds
        Bounce,       // relay n's contact bounces for ms milliseconds when it closes
        Shorted,      // channels n and m are bridged: closing either activates both inputs
        Miswired,     // relay n's wire goes to input m (one way): input 15 - n has no relay
        Jitter,       // each closing of relay n takes up to ms milliseconds more, drawn anew
        Bounces,      // relay n's contact bounces k times (not 3) within its bounce time
    };
    Kind kind = Kind::Healthy;
    int n = 0;
    int m = 1;
    int k = 10;
    int operateMs = 0;      // an input follows its relay only this long after the write
    int percent = 50;       // how often an intermittent contact fails to close
    std::uint32_t seed = 0; // of the intermittent contact's draws; 0: a different run each time
    int ms = 1;             // a slow relay's operate time, or how long a contact bounces
    int releaseMs = -1;     // an input lets go only this long after the write; -1: operateMs
    std::vector<SimulatorFault> also{}; // more faults, played at once
};

// A card whose relays are wired back to its inputs, relay r to input 15 - r, with active-low
// inputs as on the real card: healthy, every relay pattern reads back clean. It can play
// faults, and relays can take time to operate, release and settle, on an injectable clock.
class LoopbackSimulator : public PortDevice {
public:
    // Microseconds on a monotonic clock, and a wait until the clock reaches a time.
    using Clock = std::function<std::int64_t()>;
    using Wait = std::function<void(std::int64_t untilUs)>;
    // The simulator samples its inputs this often when it is watched.
    static constexpr std::int64_t kSampleUs = 10;

    explicit LoopbackSimulator(SimulatorFault fault = {}, Clock clock = monotonicUs,
                               Wait wait = sleepUntilUs);

    bool read(std::int32_t port, std::int16_t& data) override;
    bool write(std::int32_t port, std::int16_t data) override;
    // Why the last read or write failed: the fault that failed it, or the port it named.
    std::string lastError() const override { return lastError_; }
    std::int64_t nowUs() const override { return clock_(); }
    void waitUntil(std::int64_t untilUs) override { wait_(untilUs); }
    // Samples on its own clock, every kSampleUs, and waits as long as the watch lasts.
    bool watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs, Watch& out) override;

    // The relay byte last written to a port and taken (0 before any write).
    std::uint8_t relays(int port) const;

private:
    // Whether a fault fails this call (or its port is none of the card's); says why.
    bool callFails(bool isWrite, std::int32_t port);
    // The fault of a kind that names relay or input n, if one is played.
    const SimulatorFault* fault(SimulatorFault::Kind kind, int n) const;
    int relayFeeding(int input) const;
    // Whether the relay's wire goes to another input than the one the wiring gives it.
    bool miswiredAway(int relay) const;
    bool contactClosed(int relay, std::int64_t now) const;
    int inputByte(int port, std::int64_t now) const;

    struct Relay {
        bool wanted = false;      // the state last written
        bool misses = false;      // this closing of an intermittent contact failed
        bool before = false;      // the state before that write
        std::int64_t since = 0;   // when it was written
        std::int64_t extraUs = 0; // this closing's extra operate time, of a jittery relay
    };
    std::vector<SimulatorFault> faults_; // every fault played
    SimulatorFault timing_;              // the operate and release times, the seed
    Clock clock_;
    Wait wait_;
    std::array<Relay, 16> relays_{};
    std::uint64_t writes_ = 0;
    std::uint64_t reads_ = 0;
    std::mt19937 draws_;
    std::string lastError_;
};
