#include "app/CommandLine.h"

#include "card/Backend.h"
#include "card/CardId.h"
#include "lab/LabDatabase.h"

#include <algorithm>
#include <charconv>
#include <limits>

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

namespace {

// What the arguments said so far.
struct Parsed {
    Options& o;
    std::string value;              // the value of the option being taken
    std::vector<std::string> given; // every option named, in order
    bool headless = false, diagnose = false, help = false, version = false, labSync = false;
    bool lab = false;
    bool has(const char* option) const {
        return std::find(given.begin(), given.end(), option) != given.end();
    }
};

// One option: its name, what its value is (nullptr for none), and how it is taken; false with
// what was wrong.
struct Rule {
    const char* name;
    const char* value;
    bool (*take)(Parsed& p, std::string& error);
};

// A card's ID names a file of its own: letters, digits, '.', '-' and '_'.
bool validCard(const char* option, const std::string& id, std::string& into, std::string& error) {
    if (!validCardId(QString::fromStdString(id))) {
        error = std::string(option) + " takes a card's ID: 1 to 64 letters, digits, '.', '-' " +
                "and '_', not beginning with '.'; not \"" + id + "\"";
        return false;
    }
    into = id;
    return true;
}

} // namespace

bool validOperator(const std::string& name) {
    const QString text = QString::fromStdString(name);
    return !text.trimmed().isEmpty() && text.size() <= 64 &&
           std::none_of(text.begin(), text.end(), [](QChar c) {
               return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
                      c == QChar::ParagraphSeparator;
           });
}

namespace {

bool milliseconds(Parsed& p, const char* option, int min, int max, int& into, std::string& error) {
    std::int64_t ms = 0;
    if (!wholeNumber(p.value, min, max, ms)) {
        error = std::string(option) + " takes milliseconds from " + std::to_string(min) + " to " +
                std::to_string(max) + ", not \"" + p.value + "\"";
        return false;
    }
    into = static_cast<int>(ms);
    return true;
}

const Rule kRules[] = {
    {"--help", nullptr, [](Parsed& p, std::string&) { return p.help = true; }},
    {"-h", nullptr, [](Parsed& p, std::string&) { return p.help = true; }},
    {"--version", nullptr, [](Parsed& p, std::string&) { return p.version = true; }},
    {"--headless", nullptr, [](Parsed& p, std::string&) { return p.headless = true; }},
    {"--diagnose", nullptr, [](Parsed& p, std::string&) { return p.diagnose = true; }},
    {"--repeat", "a number of repeats",
     [](Parsed& p, std::string& error) {
         std::int64_t n = 0;
         if (wholeNumber(p.value, 1, 100, n)) {
             p.o.repeat = static_cast<int>(n);
             return true;
         }
         error = "--repeat takes a whole number from 1 to 100, not \"" + p.value + "\"";
         return false;
     }},
    {"--json", "a file name",
     [](Parsed& p, std::string&) { return !(p.o.json = p.value).empty(); }},
    {"--card", "a card's ID, the serial on its label",
     [](Parsed& p, std::string& error) { return validCard("--card", p.value, p.o.card, error); }},
    {"--card-history", "a card's ID",
     [](Parsed& p, std::string& error) {
         return validCard("--card-history", p.value, p.o.cardHistory, error);
     }},
    {"--relay-life", "a number of closings",
     [](Parsed& p, std::string& error) {
         if (wholeNumber(p.value, 1, std::numeric_limits<std::int64_t>::max(), p.o.relayLife))
             return true;
         error =
             "--relay-life takes a whole number of closings, at least 1, not \"" + p.value + "\"";
         return false;
     }},
    {"--metrics", "a file name",
     [](Parsed& p, std::string&) { return !(p.o.metrics = p.value).empty(); }},
    {"--lab-db", "a database URL",
     [](Parsed& p, std::string& error) {
         QString why;
         if (LabDatabase::validUrl(QString::fromStdString(p.value), why) && !p.value.empty()) {
             p.o.labDb = p.value;
             return true;
         }
         error = "--lab-db: " + why.toStdString();
         return false;
     }},
    {"--limits", "a limits file",
     [](Parsed& p, std::string&) { return !(p.o.limits = p.value).empty(); }},
    {"--operator", "a name",
     [](Parsed& p, std::string& error) {
         if (validOperator(p.value)) {
             p.o.operatorName = p.value;
             return true;
         }
         error = "--operator takes a name of 1 to 64 characters without control characters, "
                 "not \"" +
                 p.value + "\"";
         return false;
     }},
    {"--runs", "a number of runs",
     [](Parsed& p, std::string& error) {
         std::int64_t n = 0;
         if (wholeNumber(p.value, 1, 100000, n)) {
             p.o.runs = static_cast<int>(n);
             return true;
         }
         error = "--runs takes a whole number from 1 to 100000, not \"" + p.value + "\"";
         return false;
     }},
    {"--no-log", nullptr, [](Parsed& p, std::string&) { return p.o.noLog = true; }},
    {"--lab-sync", nullptr, [](Parsed& p, std::string&) { return p.labSync = true; }},
    {"--lab", nullptr, [](Parsed& p, std::string&) { return p.lab = true; }},
    {"--device", "a device spec (see --help)",
     [](Parsed& p, std::string& error) {
         DeviceSpec spec;
         std::string why;
         if (!parseDeviceSpec(p.value, spec, why)) {
             error = "--device " + p.value + ": " + why;
             return false;
         }
         p.o.device = spec;
         return true;
     }},
    {"--log", "a file name",
     [](Parsed& p, std::string&) { return !(p.o.logFile = p.value).empty(); }},
    {"--junit", "a file name",
     [](Parsed& p, std::string&) { return !(p.o.junit = p.value).empty(); }},
    {"--summary", "a run log",
     [](Parsed& p, std::string&) { return !(p.o.summary = p.value).empty(); }},
    {"--html", "a file name",
     [](Parsed& p, std::string&) { return !(p.o.html = p.value).empty(); }},
    {"--loops", "a number of loops",
     [](Parsed& p, std::string& error) {
         if (wholeNumber(p.value, 1, std::numeric_limits<std::int64_t>::max(), p.o.loops))
             return true;
         error = "--loops takes a whole number of loops, at least 1, not \"" + p.value + "\"";
         return false;
     }},
    {"--duration", "a time such as 90s, 45m or 8h",
     [](Parsed& p, std::string& error) {
         if (duration(p.value, p.o.durationMs))
             return true;
         error = "--duration takes a time such as 90s, 45m or 8h, not \"" + p.value + "\"";
         return false;
     }},
    // The spin controls' ranges: the step period 20-10000 ms, the read-back 5-500 ms.
    {"--step", "a number of milliseconds",
     [](Parsed& p, std::string& error) {
         return milliseconds(p, "--step", 20, 10000, p.o.stepMs, error);
     }},
    {"--readback", "a number of milliseconds",
     [](Parsed& p, std::string& error) {
         return milliseconds(p, "--readback", 5, 500, p.o.readbackMs, error);
     }},
};

// Takes one argument, and its value from the next where it has one; false with what was wrong.
bool takeArgument(const std::vector<std::string>& args, std::size_t& i, Parsed& p,
                  std::string& error) {
    std::string name = args[i];
    const std::size_t eq = name.rfind("--", 0) == 0 ? name.find('=') : std::string::npos;
    const bool inlineValue = eq != std::string::npos;
    if (inlineValue) {
        p.value = name.substr(eq + 1);
        name.resize(eq);
    }
    const auto rule = std::find_if(std::begin(kRules), std::end(kRules),
                                   [&](const Rule& r) { return name == r.name; });
    if (rule == std::end(kRules)) {
        error = "unknown argument \"" + args[i] + "\"";
        return false;
    }
    if (!rule->value && inlineValue) {
        error = name + " takes no value";
        return false;
    }
    if (rule->value && !inlineValue) {
        if (i + 1 >= args.size()) {
            error = name + " needs " + rule->value;
            return false;
        }
        p.value = args[++i];
    }
    p.given.push_back(name);
    if (rule->take(p, error))
        return true;
    if (error.empty())
        error = name + " needs " + rule->value;
    return false;
}

// The options that belong to a run without a display.
constexpr const char* kRunOnly[] = {"--loops", "--duration", "--step", "--readback", "--junit"};
// (--readback and --junit go with --diagnose too.)

bool summaryMode(const Parsed& p, std::string& error) {
    for (const std::string& option : p.given)
        if (option != "--summary" && option != "--html") {
            error = "--summary reads a log and runs nothing: it takes only --html FILE";
            return false;
        }
    p.o.mode = Options::Mode::Summary;
    return true;
}

bool windowMode(const Parsed& p, std::string& error) {
    for (const char* option : kRunOnly)
        if (p.has(option)) {
            error = std::string(option) + " belongs to a headless run: add --headless";
            return false;
        }
    return true;
}

bool diagnoseMode(const Parsed& p, std::string& error) {
    p.o.mode = Options::Mode::Diagnose;
    for (const char* option :
         {"--headless", "--loops", "--duration", "--step", "--summary", "--metrics"})
        if (p.has(option)) {
            error = std::string(option) + " does not go with --diagnose";
            return false;
        }
    if (!p.o.device) {
        error = "--diagnose needs --device SPEC: nobody is there to choose";
        return false;
    }
    return true;
}

bool headlessMode(const Parsed& p, std::string& error) {
    p.o.mode = Options::Mode::Headless;
    if (!p.o.device) {
        error = "--headless needs --device SPEC: nobody is there to choose";
        return false;
    }
    if (p.has("--loops") == p.has("--duration")) {
        error = "--headless needs either --loops N or --duration TIME, and only one";
        return false;
    }
    return true;
}

} // namespace

bool parseCommandLine(const std::vector<std::string>& args, Options& o, std::string& error) {
    o = {};
    Parsed p{o, {}, {}};
    for (std::size_t i = 0; i < args.size(); ++i)
        if (!takeArgument(args, i, p, error))
            return false;
    if (p.help || p.version) {
        o.mode = p.help ? Options::Mode::Help : Options::Mode::Version;
        return true;
    }
    if (p.has("--log") && p.o.noLog) {
        error = "--log and --no-log exclude each other";
        return false;
    }
    if (p.labSync) {
        if (p.given.size() != 1) {
            error = "--lab-sync delivers the lab's queue and runs nothing: it takes no other "
                    "option";
            return false;
        }
        p.o.mode = Options::Mode::LabSync;
        return true;
    }
    if (p.lab) {
        for (const std::string& option : p.given)
            if (option != "--lab" && option != "--lab-db" && option != "--limits") {
                error = "--lab opens the lab's window and runs nothing: it takes only --lab-db "
                        "URL and --limits FILE";
                return false;
            }
        p.o.mode = Options::Mode::Lab;
        return true;
    }
    if (p.has("--card-history")) {
        for (const std::string& option : p.given)
            if (option != "--card-history" && option != "--lab-db" && option != "--limits" &&
                option != "--runs" && option != "--html") {
                error = "--card-history prints a card's book and runs nothing: it takes only "
                        "--lab-db URL, --limits FILE, --runs N and --html FILE";
                return false;
            }
        p.o.mode = Options::Mode::CardHistory;
        return true;
    }
    if (p.has("--runs")) {
        error = "--runs belongs to --card-history ID";
        return false;
    }
    if (p.has("--relay-life") && !p.has("--card")) {
        error = "--relay-life counts a card's closings: add --card ID";
        return false;
    }
    if (p.diagnose)
        return diagnoseMode(p, error);
    if (p.has("--summary"))
        return summaryMode(p, error);
    if (p.has("--limits") && !p.headless) {
        error = "--limits judges a headless run, a diagnosis or a card's history";
        return false;
    }
    for (const char* option : {"--html", "--json", "--repeat"})
        if (p.has(option)) {
            error = std::string(option) + (std::string(option) == "--html"
                                               ? " belongs to --summary LOG or --diagnose"
                                               : " belongs to --diagnose");
            return false;
        }
    return p.headless ? headlessMode(p, error) : windowMode(p, error);
}
