#include "card/PortDevice.h"

#include <algorithm>
#include <chrono>
#include <thread>

std::int64_t PortDevice::monotonicUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void PortDevice::sleepUntilUs(std::int64_t untilUs) {
    const std::int64_t left = untilUs - monotonicUs();
    if (left > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(left));
}

bool PortDevice::watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs, Watch& out) {
    out = {};
    const std::int64_t start = nowUs();
    // A read takes time of its own (a Modbus request does): a change that shows in one sample
    // may have come at any time after the read before it was asked for, so each gap runs from
    // the asking of one read to the answer of the next, the first from the watch's start.
    std::int64_t last = start, now = start, asked = start;
    long samples = 0;
    for (;;) {
        const std::int64_t asking = nowUs();
        std::int16_t data = 0;
        if (!read(port, data))
            return false;
        now = nowUs();
        out.longestGapUs = std::max(out.longestGapUs, double(now - asked));
        asked = asking;
        ++samples;
        const auto byte = static_cast<std::uint8_t>(data & 0xFF);
        if (byte != (out.changes.empty() ? before : out.changes.back().byte)) {
            out.changes.push_back({now, byte});
            last = now;
        }
        const bool settled = !out.changes.empty() && now - last >= kSettleUs;
        if (settled || now - start >= timeoutUs || out.changes.size() >= kMaxChanges)
            break;
    }
    out.intervalUs = double(now - start) / double(samples);
    return true;
}
