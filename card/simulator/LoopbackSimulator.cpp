#include "card/simulator/LoopbackSimulator.h"

#include "card/simulator/Faults.h"

#include <chrono>

namespace {

bool validPort(std::int32_t port) {
    return port == 0 || port == 1;
}

} // namespace

std::int64_t LoopbackSimulator::steadyMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

LoopbackSimulator::LoopbackSimulator(SimulatorFault fault, Clock clock)
    : fault_(fault)
    , clock_(std::move(clock)) {
    if (fault_.k < 1)
        fault_.k = 1;
    draws_.seed(fault_.seed != 0 ? fault_.seed : std::random_device{}());
}

bool LoopbackSimulator::callFails(bool isWrite, std::int32_t port) {
    if (!validPort(port)) {
        lastError_ = "the card has no port " + std::to_string(port);
        return true;
    }
    const std::uint64_t nth = isWrite ? ++writes_ : ++reads_;
    const auto k = static_cast<std::uint64_t>(fault_.k);
    bool fails = false;
    switch (fault_.kind) {
    case SimulatorFault::Kind::EveryKthWriteFails:
        fails = isWrite && nth % k == 0;
        break;
    case SimulatorFault::Kind::EveryKthReadFails:
        fails = !isWrite && nth % k == 0;
        break;
    case SimulatorFault::Kind::DeadAfterK:
        fails = writes_ + reads_ > k;
        break;
    default:
        break;
    }
    if (fails)
        lastError_ = "simulated: " + describe(fault_);
    return fails;
}

std::uint8_t LoopbackSimulator::relays(int port) const {
    std::uint8_t byte = 0;
    for (int k = 0; k < 8; ++k)
        if (relays_.at(8 * port + k).wanted)
            byte |= static_cast<std::uint8_t>(1 << k);
    return byte;
}

int LoopbackSimulator::relayFeeding(int input) const {
    const int relay = 15 - input;
    if (fault_.kind == SimulatorFault::Kind::SwappedWires) {
        if (relay == fault_.n)
            return fault_.m;
        if (relay == fault_.m)
            return fault_.n;
    }
    return relay;
}

bool LoopbackSimulator::contactClosed(int relay, std::int64_t now) const {
    const Relay& r = relays_[relay];
    const std::int64_t operateUs = static_cast<std::int64_t>(fault_.operateMs) * 1000;
    return now - r.since >= operateUs ? r.wanted && !r.misses : r.before;
}

bool LoopbackSimulator::read(std::int32_t port, std::int16_t& data) {
    if (callFails(false, port))
        return false;
    const std::int64_t now = clock_();
    int byte = 0xFF;
    for (int k = 0; k < 8; ++k) {
        const int input = 8 * port + k;
        bool active = contactClosed(relayFeeding(input), now);
        if (input == fault_.n && fault_.kind == SimulatorFault::Kind::InputStuckActive)
            active = true;
        if (input == fault_.n && fault_.kind == SimulatorFault::Kind::InputNeverActive)
            active = false;
        if (active)
            byte &= ~(1 << k); // active-low
    }
    data = static_cast<std::int16_t>(byte);
    return true;
}

bool LoopbackSimulator::write(std::int32_t port, std::int16_t data) {
    if (callFails(true, port))
        return false;
    const std::int64_t now = clock_();
    for (int k = 0; k < 8; ++k) {
        const int relay = 8 * port + k;
        bool closed = ((data >> k) & 1) != 0;
        if (relay == fault_.n && fault_.kind == SimulatorFault::Kind::RelayNeverCloses)
            closed = false;
        Relay& r = relays_[relay];
        if (closed == r.wanted)
            continue;
        // A relay switched again before it settled starts from where its contact is now.
        r.before = contactClosed(relay, now);
        r.wanted = closed;
        r.since = now;
        // An intermittent contact fails a closing at random; it stays open until the relay
        // is opened and closed again.
        r.misses = closed && relay == fault_.n &&
                   fault_.kind == SimulatorFault::Kind::Intermittent &&
                   std::uniform_int_distribution<int>(0, 99)(draws_) < fault_.percent;
    }
    return true;
}
