#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An opened device behind the device-selecting card control: two ports, nothing else.
// Implementations never throw from read or write; a failure is a false result.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    // Reads the input byte of port 0 or 1 (active-low, as the card delivers it).
    virtual bool read(std::int32_t port, std::int16_t& data) = 0;
    // Writes the relay byte of port 0 or 1.
    virtual bool write(std::int32_t port, std::int16_t data) = 0;
    // Why the last read or write failed, in words; empty when it cannot tell.
    virtual std::string lastError() const { return {}; }
    // Whether the card's outputs are still what this program wrote, where the device can tell
    // (a network module that another master may drive); false with why when another program
    // changed them. Asked at the end of a read-back; true where it cannot be told.
    virtual bool outputsAsWritten(std::string& why) {
        (void)why;
        return true;
    }

    // --- Timing a card's contacts, for its diagnosis.
    // A byte that stays put this long after a change has settled.
    static constexpr std::int64_t kSettleUs = 5000;
    // A watch keeps at most this many changes: more is a contact that never settles.
    static constexpr std::size_t kMaxChanges = 255;
    struct Change {
        std::int64_t us; // on the device's clock
        std::uint8_t byte;
    };
    struct Watch {
        std::vector<Change> changes; // every change from the byte before
        double intervalUs = 0;       // the sampling interval the device achieved
        double longestGapUs = 0;     // a change is seen at most this long after it came
    };
    // Microseconds on the monotonic clock, and a sleep until it reaches a time.
    static std::int64_t monotonicUs();
    static void sleepUntilUs(std::int64_t untilUs);
    // Microseconds on the device's clock: the monotonic clock, unless the device has its own.
    virtual std::int64_t nowUs() const { return monotonicUs(); }
    // Waits until the device's clock reaches untilUs.
    virtual void waitUntil(std::int64_t untilUs) { sleepUntilUs(untilUs); }
    // Samples a port's input byte as fast as the device allows, from now until it has changed
    // from the byte before (read before the write whose effect is watched) and then stayed put
    // for kSettleUs, or until timeoutUs have passed; false when a read fails. The default reads
    // in a tight loop.
    virtual bool watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs, Watch& out);
};
