#include "app/CommandLine.h"

#include <QtGlobal>

#include <charconv>
#include <limits>

#ifndef LOOPTEST_VERSION
#define LOOPTEST_VERSION "unknown"
#endif

namespace {

bool wholeNumber(const std::string& text, std::int64_t min, std::int64_t max, std::int64_t& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty() && value >= min && value <= max;
}

// "90s", "45m", "8h".
bool duration(const std::string& text, std::int64_t& ms) {
    if (text.size() < 2)
        return false;
    const char unit = text.back();
    const std::int64_t scale = unit == 's'   ? 1000
                               : unit == 'm' ? 60'000
                               : unit == 'h' ? 3'600'000
                                             : 0;
    std::int64_t count = 0;
    if (scale == 0 || !wholeNumber(text.substr(0, text.size() - 1), 1,
                                   std::numeric_limits<std::int64_t>::max() / scale, count))
        return false;
    ms = count * scale;
    return true;
}

} // namespace

bool parseCommandLine(const std::vector<std::string>& args, Options& o, std::string& error) {
    o = {};
    bool headless = false, help = false, version = false;
    bool seenLoops = false, seenDuration = false, seenStep = false, seenReadback = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            inlineValue = true;
        }
        auto takeValue = [&](const char* what) {
            if (inlineValue)
                return true;
            if (i + 1 >= args.size()) {
                error = arg + " needs " + what;
                return false;
            }
            value = args[++i];
            return true;
        };
        auto noValue = [&] {
            if (inlineValue)
                error = arg + " takes no value";
            return !inlineValue;
        };
        if (arg == "--help" || arg == "-h") {
            if (!noValue())
                return false;
            help = true;
        } else if (arg == "--version") {
            if (!noValue())
                return false;
            version = true;
        } else if (arg == "--headless") {
            if (!noValue())
                return false;
            headless = true;
        } else if (arg == "--no-log") {
            if (!noValue())
                return false;
            o.noLog = true;
        } else if (arg == "--device") {
            if (!takeValue("a device, for example sim or isa:300"))
                return false;
            DeviceSpec spec;
            std::string why;
            if (!parseDeviceSpec(value, spec, why)) {
                error = "--device " + value + ": " + why;
                return false;
            }
            o.device = spec;
        } else if (arg == "--log") {
            if (!takeValue("a file name"))
                return false;
            o.logFile = value;
        } else if (arg == "--junit") {
            if (!takeValue("a file name"))
                return false;
            o.junit = value;
        } else if (arg == "--summary") {
            if (!takeValue("a run log"))
                return false;
            o.summary = value;
        } else if (arg == "--html") {
            if (!takeValue("a file name"))
                return false;
            o.html = value;
        } else if (arg == "--loops") {
            if (!takeValue("a number of loops"))
                return false;
            if (!wholeNumber(value, 1, std::numeric_limits<std::int64_t>::max(), o.loops)) {
                error = "--loops takes a whole number of loops, at least 1, not \"" + value + "\"";
                return false;
            }
            seenLoops = true;
        } else if (arg == "--duration") {
            if (!takeValue("a time such as 90s, 45m or 8h"))
                return false;
            if (!duration(value, o.durationMs)) {
                error = "--duration takes a time such as 90s, 45m or 8h, not \"" + value + "\"";
                return false;
            }
            seenDuration = true;
        } else if (arg == "--step" || arg == "--readback") {
            const bool step = arg == "--step";
            if (!takeValue("a number of milliseconds"))
                return false;
            // The spin controls' ranges: the step period 20-10000 ms, the read-back 5-500 ms.
            const int min = step ? 20 : 5, max = step ? 10000 : 500;
            std::int64_t ms = 0;
            if (!wholeNumber(value, min, max, ms)) {
                error = arg + " takes milliseconds from " + std::to_string(min) + " to " +
                        std::to_string(max) + ", not \"" + value + "\"";
                return false;
            }
            (step ? o.stepMs : o.readbackMs) = static_cast<int>(ms);
            (step ? seenStep : seenReadback) = true;
        } else {
            error = "unknown argument \"" + args[i] + "\"";
            return false;
        }
    }
    if (help || version) {
        o.mode = help ? Options::Mode::Help : Options::Mode::Version;
        return true;
    }
    if (!o.summary.empty()) {
        if (headless || o.device || !o.logFile.empty() || o.noLog || !o.junit.empty() ||
            seenLoops || seenDuration || seenStep || seenReadback) {
            error = "--summary reads a log and runs nothing: it takes only --html FILE";
            return false;
        }
        o.mode = Options::Mode::Summary;
        return true;
    }
    if (!o.html.empty()) {
        error = "--html belongs to --summary LOG";
        return false;
    }
    if (!o.logFile.empty() && o.noLog) {
        error = "--log and --no-log exclude each other";
        return false;
    }
    if (!headless) {
        const char* runOnly = seenLoops          ? "--loops"
                              : seenDuration     ? "--duration"
                              : seenStep         ? "--step"
                              : seenReadback     ? "--readback"
                              : !o.junit.empty() ? "--junit"
                                                 : nullptr;
        if (runOnly) {
            error = std::string(runOnly) + " belongs to a headless run: add --headless";
            return false;
        }
        return true;
    }
    o.mode = Options::Mode::Headless;
    if (!o.device) {
        error = "--headless needs --device SPEC: nobody is there to choose";
        return false;
    }
    if (seenLoops == seenDuration) {
        error = "--headless needs either --loops N or --duration TIME, and only one";
        return false;
    }
    return true;
}

std::string usageText() {
    return "Usage: looptest [--device SPEC] [--log FILE | --no-log]\n"
           "  or:  looptest --headless --device SPEC (--loops N | --duration TIME) [--step MS] "
           "[--readback MS] [--log FILE | --no-log] [--junit FILE]\n"
           "  or:  looptest --summary LOG [--html FILE]\n"
           "  or:  looptest --help | --version\n";
}

std::string helpText() {
    return usageText() +
           "Tests a card of 16 relay outputs wired back to 16 inputs (relay r to input 15 - r):\n"
           "switches the relays, reads the inputs back after a set delay, and counts mismatches\n"
           "per relay. Without --headless the window opens; the request box and the device\n"
           "chooser show, with the device named by --device preselected (Enter, Enter starts).\n"
           "\n"
           "Options:\n"
           "  --device SPEC    the device and its settings (below)\n"
           "  --headless       run without a display: open SPEC, set the speeds, press Auto, run\n"
           "                   until N loops or TIME, press Stop, let the last read-back finish,\n"
           "                   press OK (every relay opens) and end\n"
           "  --loops N        end a headless run when the loop count reaches N\n"
           "  --duration TIME  end a headless run after TIME: 90s, 45m, 8h\n"
           "  --step MS        the auto step period, 20 to 10000 ms (default 100)\n"
           "  --readback MS    the read-back delay after each write, 5 to 500 ms (default 5)\n"
           "  --junit FILE     write a JUnit XML report: one test case per relay, one for the\n"
           "                   port reads\n"
           "  --log FILE       keep the run's record in FILE (default: a new file in\n"
           "                   ~/.local/share/looptest/runs/)\n"
           "  --no-log         keep no record of the run\n"
           "  --summary LOG    print the counts per relay of a run's log, also of one cut short\n"
           "                   by a crash (from its last checkpoint)\n"
           "  --html FILE      with --summary: also write a report with a timeline of the errors\n"
           "  --help           show this help\n"
           "  --version        show the program's and Qt's versions\n"
           "\n"
           "Device specs:\n"
           "  sim                                the built-in loop-back simulator, healthy\n"
           "  sim:FAULT[,operate-ms=T]           the simulator playing one fault (below),\n"
           "                                     its relays taking T ms to operate;\n"
           "                                     sim:operate-ms=T alone: healthy\n"
           "  isa, isa:BASE                      the ISA card at I/O base BASE (hex, default\n"
           "                                     300), through the port helper\n"
           "  comedi:/dev/comediN                a data-acquisition card with 16 digital\n"
           "                                     outputs and 16 digital inputs\n"
           "  modbus-tcp:HOST[:PORT][,SETTINGS]  a Modbus TCP module (port 502 unless given)\n"
           "  modbus-rtu:DEVICE[,SETTINGS]       a Modbus RTU module on a serial line\n"
           "\n"
           "Modbus settings, separated by commas:\n"
           "  unit=N           the module's unit id (default 1)\n"
           "  coils=A          relay r is coil A + r (default 0)\n"
           "  inputs=B         input i is discrete input B + i (default 0)\n"
           "  baud=B           RTU only: the line's speed (default 9600)\n"
           "  parity=N|E|O     RTU only: the parity (default N; 8 data bits, 1 stop bit)\n"
           "\n"
           "Simulator faults:\n"
           "  relay-never-closes=N     relay N never closes\n"
           "  input-stuck-active=N     input N is always active\n"
           "  input-never-active=N     input N is never active\n"
           "  swap=N,M                 the wires of channels N and M are swapped\n"
           "  write-fails-every=K      every Kth write fails\n"
           "  read-fails-every=K       every Kth read fails\n"
           "  dead-after=K             the card stops answering after K operations\n"
           "  intermittent=N,P         each closing of relay N fails with probability P %\n"
           "\n"
           "Exit status:\n"
           "  0        every loop passed\n"
           "  1        at least one error was counted: a mismatch, a failed write or read\n"
           "  2        the device could not be opened (the reason on stderr)\n"
           "  64       a bad command line\n"
           "  66       the log given to --summary cannot be read\n"
           "  70       an unexpected run-time error ended the run\n"
           "  77       started set-uid or set-gid, refused\n"
           "  130, 143 stopped by SIGINT or SIGTERM (relays opened, reports written)\n"
           "\n"
           "A headless run shows its progress on stderr and prints a table of the counts on\n"
           "stdout when it ends.\n"
           "\n"
           "Examples:\n"
           "  looptest --device sim:relay-never-closes=3\n\n"
           "  looptest --headless --device isa:300 --loops 1600 --junit report.xml\n\n"
           "  looptest --headless --device sim:swap=2,5 --duration 90s --step 20\n\n"
           "  looptest --headless --device modbus-tcp:192.168.1.50,unit=2 --duration 8h\n\n"
           "  looptest --summary run.csv --html run.html\n";
}

std::string versionText() {
    return std::string("looptest ") + LOOPTEST_VERSION + " (Qt " + qVersion() + ")\n";
}
