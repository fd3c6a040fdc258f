#pragma once

#include "card/PortDevice.h"

#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/types.h>

// The ISA card through the port helper, a small separate program that alone holds raw port
// access: port p of the card is I/O address base + p. The helper is started when the card is
// opened and serves the two ports over a socket; this program never holds a privilege itself.
// A helper that dies or stops answering makes every later read and write fail, after a
// bounded wait.
class PortHelperDevice : public PortDevice {
public:
    static constexpr unsigned kCommonBase = 0x300;
    // How long one request may keep the window waiting.
    static constexpr std::chrono::milliseconds kRequestTimeout{100};

    // Reads a hexadecimal base ("300", "0x300"); false with a reason if it is not one the
    // card may sit at.
    static bool parseBase(const QString& text, unsigned& base, QString& why);

    // Where the helper is looked for: next to the program, then in the installed libexec folder.
    static std::string findHelper();

    // Starts the helper for the card at base and waits until it holds the ports; on failure
    // returns nullptr and says why, in words a technician can act on. standIn, when not empty,
    // is a file that stands in for the I/O space (tests only; the helper then holds nothing).
    static std::unique_ptr<PortHelperDevice> open(const std::string& helper, unsigned base,
                                                  QString& why, const std::string& standIn = {});
    // Whether open() can be expected to succeed: asks the helper, which touches no port.
    static bool probe(const std::string& helper, unsigned base, QString& why);

    ~PortHelperDevice() override;
    PortHelperDevice(const PortHelperDevice&) = delete;
    PortHelperDevice& operator=(const PortHelperDevice&) = delete;

    bool read(std::int32_t port, std::int16_t& data) override;
    bool write(std::int32_t port, std::int16_t data) override;
    std::string lastError() const override { return lastError_; }
    // The helper samples and time-stamps by itself: one request per watch, at most a second.
    bool watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs, Watch& out) override;

private:
    PortHelperDevice(pid_t pid, int socket, unsigned base);
    bool request(unsigned char op, unsigned char value, unsigned char& answer);
    // Sends a request and reads n bytes of its answer before the deadline; stops the helper
    // when it cannot.
    bool exchange(const unsigned char* out, std::size_t size, unsigned char* answer, std::size_t n,
                  std::chrono::milliseconds wait);
    void stop();

    pid_t pid_;
    int socket_;
    unsigned base_;
    std::string lastError_;
    std::optional<cpu_set_t> freeCores_; // the cores the opening thread had before, to restore
};
