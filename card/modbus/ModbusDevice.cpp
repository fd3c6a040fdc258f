#include "card/modbus/ModbusDevice.h"

#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr auto kRetryEvery = std::chrono::seconds(1);

QString words(int err) {
    return QString::fromLocal8Bit(modbus_strerror(err));
}

// A module's exception responses and libmodbus's own protocol errors: the link is fine.
bool answered(int err) {
    return err >= MODBUS_ENOBASE && err != ETIMEDOUT;
}

// An address in its one written form ("::1", "127.0.0.1"), or empty if text is none.
std::string numericAddress(const std::string& text) {
    in6_addr a6{};
    in_addr a4{};
    char out[INET6_ADDRSTRLEN] = "";
    if (::inet_pton(AF_INET, text.c_str(), &a4) == 1)
        return ::inet_ntop(AF_INET, &a4, out, sizeof out) ? out : "";
    if (::inet_pton(AF_INET6, text.c_str(), &a6) == 1)
        return ::inet_ntop(AF_INET6, &a6, out, sizeof out) ? out : "";
    return {};
}

std::string tcpKey(const std::string& address, int port, int unit) {
    return "modbus-tcp-" + address + "-" + std::to_string(port) + "-unit-" + std::to_string(unit);
}

// The module's address as the connection reached it.
std::string peerAddress(modbus_t* ctx) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    char out[INET6_ADDRSTRLEN] = "";
    if (::getpeername(modbus_get_socket(ctx), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return {};
    if (peer.ss_family == AF_INET)
        return ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, out,
                           sizeof out)
                   ? out
                   : "";
    if (peer.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))
            return ::inet_ntop(AF_INET, &a.s6_addr[12], out, sizeof out) ? out : "";
        return ::inet_ntop(AF_INET6, &a, out, sizeof out) ? out : "";
    }
    return {};
}

std::string bits(int byte) {
    std::string out;
    for (int k = 7; k >= 0; --k)
        out += (byte >> k) & 1 ? '1' : '0';
    return out;
}

} // namespace

std::string ModbusDevice::holdKey(const ModbusSettings& s) {
    if (s.rtu)
        return CardHold::deviceKey("modbus-rtu", s.device);
    const std::string address = numericAddress(s.host);
    return address.empty() ? std::string() : tcpKey(address, s.port, s.unit);
}

_modbus* newModbusLink(const ModbusSettings& s, QString& why) {
    modbus_t* ctx = s.rtu
                        ? modbus_new_rtu(s.device.c_str(), s.baud, s.parity, s.dataBits, s.stopBits)
                        : modbus_new_tcp_pi(s.host.c_str(), std::to_string(s.port).c_str());
    if (!ctx) {
        why = QStringLiteral("Cannot set up the Modbus link: %1.").arg(words(errno));
        return nullptr;
    }
    const auto us = static_cast<std::uint32_t>(s.timeoutMs) * 1000u;
    modbus_set_response_timeout(ctx, us / 1000000u, us % 1000000u);
    modbus_set_byte_timeout(ctx, us / 1000000u, us % 1000000u);
    modbus_set_slave(ctx, s.unit);
    if (modbus_connect(ctx) != 0) {
        why = s.rtu ? QStringLiteral("Cannot open the serial device %1: %2.")
                          .arg(QString::fromStdString(s.device), words(errno))
                    : QStringLiteral("Cannot connect to %1 port %2: %3.")
                          .arg(QString::fromStdString(s.host))
                          .arg(s.port)
                          .arg(words(errno));
        modbus_free(ctx);
        return nullptr;
    }
    return ctx;
}

std::unique_ptr<ModbusDevice> ModbusDevice::open(const ModbusSettings& s, QString& why) {
    modbus_t* ctx = newModbusLink(s, why);
    if (!ctx)
        return nullptr;
    // Held before anything is asked of the module, by the address the connection reached.
    CardHold hold;
    const std::string peer = s.rtu ? std::string() : peerAddress(ctx);
    const std::string key =
        s.rtu ? holdKey(s) : tcpKey(peer.empty() ? s.host : peer, s.port, s.unit);
    std::string held;
    if (!hold.take(key, held)) {
        why = QString::fromStdString(held);
        modbus_close(ctx);
        modbus_free(ctx);
        return nullptr;
    }
    // Read both blocks once: the module tells whether they exist, and whether it is there.
    std::uint8_t bits[16];
    const struct {
        int first;
        const char* what;
        int (*read)(modbus_t*, int, int, std::uint8_t*);
    } blocks[] = {{s.coils, "coils", modbus_read_bits},
                  {s.inputs, "discrete inputs", modbus_read_input_bits}};
    for (const auto& b : blocks) {
        if ((!s.verify && b.read == modbus_read_bits) || b.read(ctx, b.first, 16, bits) == 16)
            continue;
        const int err = errno;
        if (err == ETIMEDOUT)
            why = QStringLiteral("No answer from unit %1 in %2 ms.").arg(s.unit).arg(s.timeoutMs);
        else if (err == EMBXILADD)
            why = QStringLiteral("The module has no %1 %2 to %3 (it answered: %4).")
                      .arg(QLatin1String(b.what))
                      .arg(b.first)
                      .arg(b.first + 15)
                      .arg(words(err));
        else
            why = QStringLiteral("Reading the %1 %2 to %3 of unit %4 failed: %5.")
                      .arg(QLatin1String(b.what))
                      .arg(b.first)
                      .arg(b.first + 15)
                      .arg(s.unit)
                      .arg(words(err));
        modbus_close(ctx);
        modbus_free(ctx);
        return nullptr;
    }
    auto device = std::unique_ptr<ModbusDevice>(new ModbusDevice(s, ctx));
    device->hold_ = std::move(hold);
    return device;
}

ModbusDevice::ModbusDevice(const ModbusSettings& settings, _modbus* ctx)
    : settings_(settings)
    , ctx_(ctx) {}

ModbusDevice::~ModbusDevice() {
    stopReconnecting();
    if (fresh_)
        modbus_free(fresh_);
    if (ctx_) {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
}

bool ModbusDevice::ready() {
    if (!lost_)
        return true;
    if (!settings_.rtu) {
        std::unique_lock lock(mutex_);
        if (!fresh_)
            return false;
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = fresh_;
        fresh_ = nullptr;
        lock.unlock();
        stopReconnecting();
        lost_ = false;
        return true;
    }
    // A serial line stays open; the module is simply asked again, once a second. What came
    // on the line since the failure, such as the late answer to the request that timed out,
    // is thrown away first: it must not pass for the answer to the next request.
    if (Clock::now() < retryAt_)
        return false;
    retryAt_ = Clock::now() + kRetryEvery;
    modbus_flush(ctx_);
    return true;
}

bool ModbusDevice::failed(int err) {
    if (answered(err)) {
        lastError_ = "the module answered: " + std::string(modbus_strerror(err));
        return false;
    }
    lastError_ = err == ETIMEDOUT ? "no answer from unit " + std::to_string(settings_.unit) +
                                        " in " + std::to_string(settings_.timeoutMs) + " ms"
                                  : "the link failed: " + std::string(modbus_strerror(err));
    // The module may have restarted meanwhile, its coils all open: what this program wrote is
    // not known again until it writes.
    written_[0] = written_[1] = -1;
    if (settings_.rtu) {
        lost_ = true;
        retryAt_ = Clock::now() + kRetryEvery;
    } else if (!lost_) {
        // A TCP stream that missed an answer or broke is out of step: a new one is made.
        lost_ = true;
        modbus_close(ctx_);
        startReconnecting();
    }
    return false;
}

void ModbusDevice::startReconnecting() {
    stopReconnecting();
    stop_ = false;
    reconnector_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (wake_.wait_for(lock, kRetryEvery, [this] { return stop_; }))
                break;
            lock.unlock();
            QString why;
            modbus_t* ctx = newModbusLink(settings_, why);
            lock.lock();
            if (ctx) {
                fresh_ = ctx;
                break;
            }
        }
    });
}

void ModbusDevice::stopReconnecting() {
    if (!reconnector_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    reconnector_.join();
}

bool ModbusDevice::write(std::int32_t port, std::int16_t data) {
    if (port != 0 && port != 1) {
        lastError_ = "the module has no port " + std::to_string(port);
        return false;
    }
    if (!ready())
        return false;
    std::uint8_t bits[8];
    for (int k = 0; k < 8; ++k)
        bits[k] = static_cast<std::uint8_t>((data >> k) & 1);
    verified_ = false;
    // A write that failed may or may not have reached the coils: they are not known until the
    // next write that goes through.
    written_[port] = -1;
    if (modbus_write_bits(ctx_, settings_.coils + 8 * port, 8, bits) != 8)
        return failed(errno);
    lost_ = false;
    written_[port] = data & 0xFF;
    return true;
}

bool ModbusDevice::outputsAsWritten(std::string& why) {
    // One request for both ports, once after the writes of a step (asked after the inputs).
    if (!settings_.verify || verified_ || (written_[0] < 0 && written_[1] < 0) || !ready())
        return true;
    std::uint8_t coils[16];
    if (modbus_read_bits(ctx_, settings_.coils, 16, coils) != 16) {
        // Not told either way: the link's failure is noted, and the next read-back's reads
        // fail and are counted as failed reads; nothing is taken for another master.
        failed(errno);
        return true;
    }
    lost_ = false;
    verified_ = true;
    for (int port = 0; port < 2; ++port) {
        if (written_[port] < 0)
            continue;
        int byte = 0;
        for (int k = 0; k < 8; ++k)
            byte |= coils[8 * port + k] ? 1 << k : 0;
        if (byte != written_[port]) {
            char where[128];
            std::snprintf(where, sizeof where, "coils %d-%d read %s where this program wrote %s",
                          settings_.coils + 8 * port, settings_.coils + 8 * port + 7,
                          bits(byte).c_str(), bits(written_[port]).c_str());
            why = "another program is driving this module (" + std::string(where) + ")";
            return false;
        }
    }
    return true;
}

bool ModbusDevice::read(std::int32_t port, std::int16_t& data) {
    if (port != 0 && port != 1) {
        lastError_ = "the module has no port " + std::to_string(port);
        return false;
    }
    if (!ready())
        return false;
    std::uint8_t bits[8];
    if (modbus_read_input_bits(ctx_, settings_.inputs + 8 * port, 8, bits) != 8)
        return failed(errno);
    lost_ = false;
    int byte = 0xFF; // an active input reads 1 and is handed over active-low
    for (int k = 0; k < 8; ++k)
        if (bits[k])
            byte &= ~(1 << k);
    data = static_cast<std::int16_t>(byte);
    return true;
}
