#pragma once

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
    _modbus* ctx_;
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
