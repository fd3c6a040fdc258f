#pragma once

#include <cstdint>
#include <string>

// The card control the window talks to: selects and opens a device, then reads and writes the
// card's two 8-bit ports. Port 0 carries channels 0-7, port 1 channels 8-15.
class CardControl {
public:
    virtual ~CardControl() = default;
    // Lets the user choose a device; true only when the chosen device is open and usable.
    virtual bool SelectDevice() = 0;
    // Switches port access on or off.
    virtual void setActive(bool active) = 0;
    // Reads the input byte of a port (active-low) into data; false on failure.
    virtual bool ReadPort(std::int32_t port, std::int16_t& data) = 0;
    // Writes the relay byte of a port (a set bit closes the relay); false on failure.
    virtual bool WritePort(std::int32_t port, std::int16_t data) = 0;
    // Why the last port call failed, in words, where the device can tell; for the run's record.
    virtual std::string lastError() const { return {}; }
};
