#pragma once

#include <cstdint>
#include <string>

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
};
