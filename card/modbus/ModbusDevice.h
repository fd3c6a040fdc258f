#pragma once

#include "card/CardHold.h"
#include "card/PortDevice.h"
#include "card/modbus/ModbusSettings.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

struct _modbus;

// A Modbus relay/input module as the card: writing port p writes its eight coils in one
// request (function 15), reading it reads its eight discrete inputs (function 2), handed over
// active-low like the ISA card's. Every request waits for its answer no longer than the
// settings' timeout. A lost TCP connection fails every call at once while a background thread
// reconnects, at most once a second; a serial module that stopped answering is asked again at
// most once a second, failing the calls in between at once.
//
// One program to a module: opening it holds it on this PC (a TCP module by its address, port
// and unit; an RTU module by its serial line, whatever the unit) until the device goes. Across
// PCs, with verify on, the coils are read back before the inputs after each write: coils that
// are not what this program last wrote mean another master is driving the module.
class ModbusDevice : public PortDevice {
public:
    // Connects and reads the coils and inputs once, so that a wrong map or unit fails here
    // with the module's own answer in words; nullptr and why on failure.
    static std::unique_ptr<ModbusDevice> open(const ModbusSettings& settings, QString& why);
    ~ModbusDevice() override;
    ModbusDevice(const ModbusDevice&) = delete;
    ModbusDevice& operator=(const ModbusDevice&) = delete;

    bool read(std::int32_t port, std::int16_t& data) override;
    bool write(std::int32_t port, std::int16_t data) override;
    std::string lastError() const override { return lastError_; }
    bool outputsAsWritten(std::string& why) override;

    // The key of the hold a module takes on this PC, from its settings alone (a TCP host that
    // is no numeric address: empty, it is known only once connected).
    static std::string holdKey(const ModbusSettings& settings);

private:
    using Clock = std::chrono::steady_clock;
    ModbusDevice(const ModbusSettings& settings, _modbus* ctx);
    // Whether a request may go out now; takes over a reconnected link.
    bool ready();
    // Notes a failed request; false always.
    bool failed(int err);
    void startReconnecting();
    void stopReconnecting();

    ModbusSettings settings_;
    CardHold hold_;
    _modbus* ctx_;
    int written_[2] = {-1, -1}; // the byte last written to each port, -1 when not known
    bool verified_ = true;      // the coils were read back since the last write
    bool lost_ = false;
    Clock::time_point retryAt_{};
    std::string lastError_;

    std::thread reconnector_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    _modbus* fresh_ = nullptr; // a reconnected link, handed over under mutex_
};

// Opens a new link with the settings (not yet connected requests), or nullptr and why.
_modbus* newModbusLink(const ModbusSettings& settings, QString& why);
