#pragma once

#include <string>

// How to reach a Modbus relay/input module and where its relays and inputs sit. Port p of the
// card is coils coils + 8p ... coils + 8p + 7 and discrete inputs inputs + 8p ... + 7.
struct ModbusSettings {
    bool rtu = false;                    // RTU over a serial line, else TCP
    std::string host;                    // TCP
    int port = 502;                      // TCP
    std::string device = "/dev/ttyUSB0"; // RTU
    int baud = 9600;                     // RTU
    char parity = 'N';                   // RTU: N, E or O
    int dataBits = 8;                    // RTU
    int stopBits = 1;                    // RTU
    int unit = 1;
    int coils = 0;
    int inputs = 0;
    int timeoutMs = 100; // how long a request may wait for its answer
    // Whether the coils are read back before each read-back of the inputs, to tell another
    // master driving the module (off: a module whose coils cannot be read).
    bool verify = true;

    // The highest first address that leaves room for 16 coils or inputs.
    static constexpr int kMaxAddress = 65535 - 15;

    // The settings in words, for the chooser's status and the run's record.
    std::string describe() const;
};
