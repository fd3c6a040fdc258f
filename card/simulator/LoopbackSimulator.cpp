#include "card/simulator/LoopbackSimulator.h"

#include "card/simulator/Faults.h"

#include <algorithm>

namespace {

using Kind = SimulatorFault::Kind;

bool validPort(std::int32_t port) {
    return port == 0 || port == 1;
}

} // namespace

LoopbackSimulator::LoopbackSimulator(SimulatorFault fault, Clock clock, Wait wait)
    : timing_(fault)
    , clock_(std::move(clock))
    , wait_(std::move(wait)) {
    timing_.also.clear();
    faults_.push_back(timing_);
    faults_.insert(faults_.end(), fault.also.begin(), fault.also.end());
    for (SimulatorFault& f : faults_)
        f.k = std::max(f.k, 1);
    draws_.seed(fault.seed != 0 ? fault.seed : std::random_device{}());
}

const SimulatorFault* LoopbackSimulator::fault(Kind kind, int n) const {
    for (const SimulatorFault& f : faults_)
        if (f.kind == kind && f.n == n)
            return &f;
    return nullptr;
}

bool LoopbackSimulator::callFails(bool isWrite, std::int32_t port) {
    if (!validPort(port)) {
        lastError_ = "the card has no port " + std::to_string(port);
        return true;
    }
    const std::uint64_t nth = isWrite ? ++writes_ : ++reads_;
    for (const SimulatorFault& f : faults_) {
        const auto k = static_cast<std::uint64_t>(f.k);
        const bool fails = (f.kind == Kind::EveryKthWriteFails && isWrite && nth % k == 0) ||
                           (f.kind == Kind::EveryKthReadFails && !isWrite && nth % k == 0) ||
                           (f.kind == Kind::DeadAfterK && writes_ + reads_ > k);
        if (fails) {
            lastError_ = "simulated: " + describe(f);
            return true;
        }
    }
    return false;
}

std::uint8_t LoopbackSimulator::relays(int port) const {
    std::uint8_t byte = 0;
    for (int k = 0; k < 8; ++k)
        if (relays_.at(8 * port + k).wanted)
            byte |= static_cast<std::uint8_t>(1 << k);
    return byte;
}

int LoopbackSimulator::relayFeeding(int input) const {
    int relay = 15 - input;
    for (const SimulatorFault& f : faults_) {
        if (f.kind != Kind::SwappedWires)
            continue;
        if (relay == f.n)
            relay = f.m;
        else if (relay == f.m)
            relay = f.n;
    }
    return relay;
}

bool LoopbackSimulator::contactClosed(int relay, std::int64_t now) const {
    const Relay& r = relays_[relay];
    const SimulatorFault* slow = fault(Kind::Slow, relay);
    const int releaseMs = timing_.releaseMs >= 0 ? timing_.releaseMs : timing_.operateMs;
    const std::int64_t delay =
        std::int64_t(r.wanted ? (slow ? slow->ms : timing_.operateMs) : releaseMs) * 1000 +
        (r.wanted ? r.extraUs : 0);
    const std::int64_t t = now - r.since;
    if (t < delay)
        return r.before;
    const bool closed = r.wanted && !r.misses;
    // A bouncing contact, once it first closes, opens K times (3 unless told) before it stays
    // closed: in the second half of each K-th part of its bounce time.
    const SimulatorFault* bounce = closed && !r.before ? fault(Kind::Bounce, relay) : nullptr;
    if (bounce) {
        const SimulatorFault* count = fault(Kind::Bounces, relay);
        const int k = count ? count->k : 3;
        const std::int64_t part = std::max<std::int64_t>(2, std::int64_t(bounce->ms) * 1000 / k);
        const std::int64_t into = t - delay;
        if (into < k * part)
            return into % part < part / 2;
    }
    return closed;
}

bool LoopbackSimulator::miswiredAway(int relay) const {
    return std::any_of(faults_.begin(), faults_.end(), [relay](const SimulatorFault& f) {
        return f.kind == Kind::Miswired && f.n == relay && f.m != 15 - relay;
    });
}

int LoopbackSimulator::inputByte(int port, std::int64_t now) const {
    int byte = 0xFF;
    for (int k = 0; k < 8; ++k) {
        const int input = 8 * port + k;
        const int feeding = relayFeeding(input);
        bool active = !miswiredAway(feeding) && contactClosed(feeding, now);
        // A wire that goes to this input from another relay.
        for (const SimulatorFault& f : faults_)
            if (f.kind == Kind::Miswired && f.m == input)
                active = active || contactClosed(f.n, now);
        // A bridge between two channels: either relay activates both inputs.
        for (const SimulatorFault& f : faults_)
            if (f.kind == Kind::Shorted && (input == 15 - f.n || input == 15 - f.m))
                active = active || contactClosed(f.n, now) || contactClosed(f.m, now);
        if (fault(Kind::InputStuckActive, input))
            active = true;
        if (fault(Kind::InputNeverActive, input))
            active = false;
        if (active)
            byte &= ~(1 << k); // active-low
    }
    return byte;
}

bool LoopbackSimulator::read(std::int32_t port, std::int16_t& data) {
    if (callFails(false, port))
        return false;
    data = static_cast<std::int16_t>(inputByte(port, clock_()));
    return true;
}

bool LoopbackSimulator::write(std::int32_t port, std::int16_t data) {
    if (callFails(true, port))
        return false;
    const std::int64_t now = clock_();
    for (int k = 0; k < 8; ++k) {
        const int relay = 8 * port + k;
        bool closed = ((data >> k) & 1) != 0;
        if (fault(Kind::RelayNeverCloses, relay))
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
        const SimulatorFault* intermittent = fault(Kind::Intermittent, relay);
        r.misses = closed && intermittent &&
                   std::uniform_int_distribution<int>(0, 99)(draws_) < intermittent->percent;
        const SimulatorFault* jitter = fault(Kind::Jitter, relay);
        r.extraUs = closed && jitter ? std::uniform_int_distribution<std::int64_t>(
                                           0, std::int64_t(jitter->ms) * 1000)(draws_)
                                     : 0;
    }
    return true;
}

bool LoopbackSimulator::watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs,
                              Watch& out) {
    out = {};
    if (callFails(false, port))
        return false;
    const std::int64_t start = clock_();
    std::int64_t t = start - kSampleUs, last = start;
    int byte = before;
    while (t < start || (t - start < timeoutUs && out.changes.size() < kMaxChanges &&
                         (out.changes.empty() || t - last < kSettleUs))) {
        t += kSampleUs;
        const int now = inputByte(port, t);
        if (now != byte) {
            out.changes.push_back({t, static_cast<std::uint8_t>(now)});
            byte = now;
            last = t;
        }
    }
    out.intervalUs = out.longestGapUs = kSampleUs;
    wait_(t); // the watch lasts as long as its samples
    return true;
}
