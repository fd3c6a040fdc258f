#include "card/comedi/ComediDevice.h"

#include <vector>

namespace {

bool canOutput(DioLibrary::Kind k) {
    return k == DioLibrary::Kind::DigitalOut || k == DioLibrary::Kind::DigitalInOut;
}
bool canInput(DioLibrary::Kind k) {
    return k == DioLibrary::Kind::DigitalIn || k == DioLibrary::Kind::DigitalInOut;
}

} // namespace

std::optional<DioLayout> findDioLayout(const DioLibrary& dio) {
    // Dedicated output and input subdevices first, then input/output ones.
    int out = -1;
    int in = -1;
    for (const auto want : {DioLibrary::Kind::DigitalOut, DioLibrary::Kind::DigitalInOut}) {
        for (int s = 0; s < dio.subdevices() && out < 0; ++s)
            if (dio.kind(s) == want && dio.channels(s) >= 16)
                out = s;
    }
    for (const auto want : {DioLibrary::Kind::DigitalIn, DioLibrary::Kind::DigitalInOut}) {
        for (int s = 0; s < dio.subdevices() && in < 0; ++s)
            if (dio.kind(s) == want && s != out && dio.channels(s) >= 16)
                in = s;
    }
    if (out >= 0 && in >= 0)
        return DioLayout{out, 0, in, 0};
    // One input/output subdevice of 32 channels: the first 16 drive, the next 16 sense.
    for (int s = 0; s < dio.subdevices(); ++s)
        if (dio.kind(s) == DioLibrary::Kind::DigitalInOut && dio.channels(s) >= 32)
            return DioLayout{s, 0, s, 16};
    return std::nullopt;
}

std::unique_ptr<ComediDevice> ComediDevice::open(std::unique_ptr<DioLibrary> dio,
                                                 const std::string& path, QString& why) {
    const QString file = QString::fromStdString(path);
    if (!dio) {
        why = QStringLiteral("This build has no data-acquisition library support.");
        return nullptr;
    }
    if (!dio->open(path)) {
        why = QStringLiteral("Cannot open %1. Check that its driver is loaded and that you may "
                             "read and write the device file (the iocard group, or root).")
                  .arg(file);
        return nullptr;
    }
    CardHold hold;
    std::string held;
    if (!hold.take(CardHold::deviceKey("comedi", path), held)) {
        why = QString::fromStdString(held);
        return nullptr;
    }
    const auto layout = findDioLayout(*dio);
    if (!layout) {
        why = QStringLiteral("%1 (%2) has no 16 digital outputs and 16 digital inputs.")
                  .arg(file, QString::fromStdString(dio->boardName()));
        return nullptr;
    }
    // One subdevice may serve both ports: it is reserved once.
    std::vector<int> reserve{layout->outSubdevice};
    if (layout->inSubdevice != layout->outSubdevice)
        reserve.push_back(layout->inSubdevice);
    for (const int s : reserve)
        if (!dio->lock(s)) {
            why = QStringLiteral("Another program has reserved subdevice %1 of %2 (%3); stop it, "
                                 "or choose another device.")
                      .arg(s)
                      .arg(file, QString::fromStdString(dio->error()));
            return nullptr;
        }
    for (int c = 0; c < 16; ++c) {
        const bool ok = (!canInput(dio->kind(layout->outSubdevice)) ||
                         dio->configure(layout->outSubdevice, layout->outBase + c, true)) &&
                        (!canOutput(dio->kind(layout->inSubdevice)) ||
                         dio->configure(layout->inSubdevice, layout->inBase + c, false));
        if (!ok) {
            why =
                QStringLiteral("%1 refused to set channel %2 as output or input.").arg(file).arg(c);
            return nullptr;
        }
    }
    auto device = std::unique_ptr<ComediDevice>(new ComediDevice(std::move(dio), *layout));
    device->hold_ = std::move(hold);
    return device;
}

ComediDevice::ComediDevice(std::unique_ptr<DioLibrary> dio, DioLayout layout)
    : dio_(std::move(dio))
    , layout_(layout) {}

bool ComediDevice::failed(const std::string& what) {
    lastError_ = what + ": " + dio_->error();
    return false;
}

bool ComediDevice::read(std::int32_t port, std::int16_t& data) {
    if (port != 0 && port != 1) {
        lastError_ = "the card has no port " + std::to_string(port);
        return false;
    }
    unsigned bits = 0;
    if (!dio_->bitfield(layout_.inSubdevice, 0, bits,
                        static_cast<unsigned>(layout_.inBase + 8 * port)))
        return failed("reading the inputs of port " + std::to_string(port) + " failed");
    // A set bit is an active input; the card's convention is active-low.
    data = static_cast<std::int16_t>(~bits & 0xFFu);
    return true;
}

bool ComediDevice::write(std::int32_t port, std::int16_t data) {
    if (port != 0 && port != 1) {
        lastError_ = "the card has no port " + std::to_string(port);
        return false;
    }
    unsigned bits = static_cast<unsigned>(data) & 0xFFu;
    return dio_->bitfield(layout_.outSubdevice, 0xFFu, bits,
                          static_cast<unsigned>(layout_.outBase + 8 * port)) ||
           failed("writing the relays of port " + std::to_string(port) + " failed");
}
