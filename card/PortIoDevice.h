#pragma once

#include "card/PortDevice.h"

#include <QString>

#include <memory>
#include <string>

// The ISA card through Linux port I/O: port p of the card is I/O address base + p, reached by a
// one-byte pread or pwrite on /dev/port at that offset. Only base and base + 1 are ever touched.
class PortIoDevice : public PortDevice {
public:
    // ISA cards sit at jumpered bases; below 0x100 are the machine's own devices.
    static constexpr unsigned kMinBase = 0x100;
    static constexpr unsigned kMaxBase = 0x3FE;
    static constexpr unsigned kCommonBase = 0x300;

    // Reads a hexadecimal base ("300", "0x300"); false with a reason if it is not one the
    // card may sit at.
    static bool parseBase(const QString& text, unsigned& base, QString& why);

    // Opens the port device (normally /dev/port) for the card at base; on failure returns
    // nullptr and says what to do. A base out of range opens nothing.
    static std::unique_ptr<PortIoDevice> open(const std::string& path, unsigned base, QString& why);
    ~PortIoDevice() override;
    PortIoDevice(const PortIoDevice&) = delete;
    PortIoDevice& operator=(const PortIoDevice&) = delete;

    bool read(std::int32_t port, std::int16_t& data) override;
    bool write(std::int32_t port, std::int16_t data) override;

private:
    PortIoDevice(int fd, unsigned base);

    int fd_;
    unsigned base_;
};
