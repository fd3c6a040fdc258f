#pragma once

#include "card/DeviceSpec.h"
#include "diagnosis/Limits.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the command line asked for. Without options the program opens its window as always.
struct Options {
    enum class Mode { Window, Headless, Summary, Diagnose, CardHistory, LabSync, Lab, Help,
                      Version };
    Mode mode = Mode::Window;
    std::optional<DeviceSpec> device; // --device: preselected in the chooser, or run headless
    std::string logFile;              // --log FILE
    bool noLog = false;               // --no-log
    std::int64_t loops = 0;           // --loops N: a headless run ends after N loops, or
    std::int64_t durationMs = 0;      // --duration TIME: after this long
    int stepMs = 100;                 // --step MS: the auto step period
    int readbackMs = 5;               // --readback MS: the read-back delay
    std::string junit;                // --junit FILE
    std::string summary;              // --summary LOG: read a run's log
    std::string html;                 // --html FILE: the report of a summary or a diagnosis
    int repeat = 3;                   // --repeat N: a diagnosis's repeats
    std::string json;                 // --json FILE: a diagnosis as JSON
    std::string card;                 // --card ID: the card tested, whose book is kept
    std::string cardHistory;          // --card-history ID: print a card's book
    std::int64_t relayLife = 0;       // --relay-life N: warn when a relay passes N closings
    std::string metrics;              // --metrics FILE: the run's figures for Prometheus
    std::string labDb;                // --lab-db URL: the lab's database of cards and runs
    std::string limits;               // --limits FILE: the card type's limits
    std::string operatorName;         // --operator NAME: who tests
    Limits judgedBy; // the limits a run is judged by, once settleOptions has read them
    int runs = 10;   // --runs N: the runs --card-history lists
};

// Exit statuses of the program.
namespace exitstatus {
constexpr int kPassed = 0;
constexpr int kErrorsCounted = 1;
constexpr int kCannotOpen = 2;
constexpr int kUsage = 64;        // sysexits.h EX_USAGE
constexpr int kDataError = 65;    // the log given to --summary is damaged
constexpr int kNoInput = 66;      // the log given to --summary cannot be read; an unknown card
constexpr int kUnavailable = 69;  // --card-history, --lab-sync: the lab's database cannot be read
constexpr int kSoftware = 70;     // an unexpected run-time error ended the run
constexpr int kCannotCreate = 73; // a report cannot be written
constexpr int kNoPermission = 77; // set-uid or set-gid, refused
} // namespace exitstatus

// Whether a name can stand as the operator's: 1 to 64 characters, not only blanks, no control
// characters.
bool validOperator(const std::string& name);

// Parses the arguments after the program's name; false with what was wrong.
bool parseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error);

// The short synopsis shown after a usage error, and the whole of --help.
std::string usageText();
std::string helpText();
// One line: the program's version and Qt's.
std::string versionText();
