#pragma once

#include "card/CardHold.h"
#include "card/PortDevice.h"

#include <QString>

#include <memory>
#include <optional>
#include <string>

// The few calls of the data-acquisition library (comedilib) that a digital I/O card needs,
// behind one small interface, so that the port mapping is tested without hardware.
class DioLibrary {
public:
    enum class Kind { Other, DigitalIn, DigitalOut, DigitalInOut };
    virtual ~DioLibrary() = default;
    virtual bool open(const std::string& path) = 0;
    virtual std::string boardName() const = 0;
    virtual int subdevices() const = 0;
    virtual Kind kind(int subdevice) const = 0;
    virtual int channels(int subdevice) const = 0;
    // Sets one channel of an input/output subdevice to output or input.
    virtual bool configure(int subdevice, int channel, bool output) = 0;
    // Writes the bits under mask and reads all bits, for up to 32 channels from baseChannel.
    virtual bool bitfield(int subdevice, unsigned mask, unsigned& bits, unsigned baseChannel) = 0;
    // The library's words on its last failure.
    virtual std::string error() const = 0;
    // Reserves a subdevice for this process until the device closes (comedi_lock), which other
    // programs of the library respect too; false when another holds it.
    virtual bool lock(int subdevice) {
        (void)subdevice;
        return true;
    }
};

// The real library; only in builds with it.
std::unique_ptr<DioLibrary> makeComediLibrary();

// Where a device's 16 relay outputs and 16 inputs sit.
struct DioLayout {
    int outSubdevice = -1;
    int outBase = 0;
    int inSubdevice = -1;
    int inBase = 0;
};

// Finds 16 outputs and 16 inputs on an open device: separate output and input subdevices,
// or input/output subdevices set per channel (one with 32 channels serves both).
std::optional<DioLayout> findDioLayout(const DioLibrary& dio);

// A card behind the library. Port p is output channels 8p to 8p + 7 and input channels 8p to
// 8p + 7; inputs are handed over active-low, as the ISA card delivers them. Opening it holds
// the device file for this program and reserves its two subdevices (comedi_lock) before any
// channel is set up.
class ComediDevice : public PortDevice {
public:
    // Opens the device at path and sets up its channels; nullptr and why on failure.
    static std::unique_ptr<ComediDevice> open(std::unique_ptr<DioLibrary> dio,
                                              const std::string& path, QString& why);

    bool read(std::int32_t port, std::int16_t& data) override;
    bool write(std::int32_t port, std::int16_t data) override;
    std::string lastError() const override { return lastError_; }

private:
    bool failed(const std::string& what);

    ComediDevice(std::unique_ptr<DioLibrary> dio, DioLayout layout);

    CardHold hold_;
    std::unique_ptr<DioLibrary> dio_;
    DioLayout layout_;
    std::string lastError_;
};
