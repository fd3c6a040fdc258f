// libFuzzer target: any bytes as a command line, its arguments split at NUL bytes, device
// specs among them. Besides the sanitizers' findings, options that parse but break the rules
// the program relies on are a crash.
#include "app/CommandLine.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    Options o;
    std::string error;
    if (!parseCommandLine(args, o, error)) {
        if (error.empty())
            std::abort(); // a refusal always says why
        return 0;
    }
    const bool sound =
        o.stepMs >= 20 && o.stepMs <= 10000 && o.readbackMs >= 5 && o.readbackMs <= 500 &&
        o.loops >= 0 && o.durationMs >= 0 &&
        (o.mode != Options::Mode::Headless || (o.device && (o.loops > 0) != (o.durationMs > 0))) &&
        (o.mode != Options::Mode::Summary || !o.summary.empty()) &&
        !(o.noLog && !o.logFile.empty());
    if (!sound)
        std::abort();
    return 0;
}
