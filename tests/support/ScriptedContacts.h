#pragma once

#include "card/PortDevice.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

// A card on a clock the test owns (a wait moves it at once), whose relays do exactly what the
// test scripts, closing by closing: relay r's input 15 - r changes an operate time after the
// write that closes it, as often as scripted and a bounce time apart, and lets go a release
// time after the write that opens it. A watch samples every gapUs. Nothing here depends on
// the machine's load: the diagnosis's figures follow from the script alone.
class ScriptedContacts : public PortDevice {
public:
    struct Relay {
        std::vector<std::int64_t> operateUs{1000}; // closing k takes operateUs[k % size]
        std::vector<int> changes{
            1}; // how often its input changes at closing k (odd: it ends active)
        std::int64_t bounceUs = 400; // between two changes of one closing
        std::int64_t releaseUs = 1000;
    };
    std::array<Relay, 16> relays;
    std::int64_t gapUs = 50;
    std::int64_t writeUs = 0; // how long a write takes, once the relays have moved
    // Inputs (a mask) active besides, at the n-th read of both ports with every relay open.
    std::function<int(int n)> activeWhileAllOpen;
    // Every wait the diagnosis asked for, in µs.
    std::vector<std::int64_t> waits;

    bool read(std::int32_t port, std::int16_t& data) override {
        data = byteAt(port, now_);
        if (port == 1 && written_[0] == 0 && written_[1] == 0)
            ++openReads_; // the inputs are read port 0, then port 1
        return true;
    }
    bool write(std::int32_t port, std::int16_t data) override {
        for (int k = 0; k < 8; ++k) {
            const int relay = 8 * port + k;
            const bool was = written_[port] & (1 << k), is = data & (1 << k);
            State& s = state_[relay];
            if (is && !was)
                s = {true, now_, s.closings + 1, false, 0};
            else if (was && !is)
                s = {false, s.closedAt, s.closings, active(relay, now_), now_};
        }
        written_[port] = data & 0xFF;
        now_ += writeUs;
        return true;
    }
    std::int64_t nowUs() const override { return now_; }
    void waitUntil(std::int64_t untilUs) override {
        waits.push_back(untilUs - now_);
        now_ = std::max(now_, untilUs);
    }
    bool watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs,
               Watch& out) override {
        const std::int64_t start = now_;
        std::uint8_t last = before;
        std::int64_t changedAt = -1;
        for (std::int64_t t = start;; t += gapUs) {
            now_ = t;
            const std::uint8_t byte = byteAt(port, t);
            if (byte != last && out.changes.size() < kMaxChanges) {
                out.changes.push_back({t, byte});
                last = byte;
                changedAt = t;
            }
            if ((changedAt >= 0 && t - changedAt >= kSettleUs) || t - start >= timeoutUs)
                break;
        }
        out.intervalUs = out.longestGapUs = double(gapUs);
        return true;
    }

private:
    struct State {
        bool closed = false;
        std::int64_t closedAt = 0;
        int closings = 0;
        bool activeAtOpen = false;
        std::int64_t openedAt = 0;
    };

    bool active(int relay, std::int64_t t) const {
        const State& s = state_[relay];
        if (!s.closed)
            return s.activeAtOpen && t < s.openedAt + relays[relay].releaseUs;
        const Relay& r = relays[relay];
        const std::size_t k = static_cast<std::size_t>(s.closings - 1);
        const std::int64_t first = s.closedAt + r.operateUs[k % r.operateUs.size()];
        if (t < first)
            return false;
        const std::int64_t seen =
            std::min<std::int64_t>(r.changes[k % r.changes.size()], 1 + (t - first) / r.bounceUs);
        return seen % 2 == 1;
    }
    std::uint8_t byteAt(int port, std::int64_t t) const {
        int mask = 0;
        for (int relay = 0; relay < 16; ++relay)
            if (active(relay, t))
                mask |= 1 << (15 - relay);
        if (activeWhileAllOpen && written_[0] == 0 && written_[1] == 0)
            mask |= activeWhileAllOpen(openReads_);
        return static_cast<std::uint8_t>(~(mask >> (8 * port)) & 0xFF);
    }

    std::int64_t now_ = 1'000'000;
    std::array<int, 2> written_{};
    std::array<State, 16> state_{};
    int openReads_ = 0;
};
