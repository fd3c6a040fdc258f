#pragma once

#include "card/PortDevice.h"
#include "diagnosis/Limits.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What a diagnosis found of one channel: relay r and the input 15 - r it should drive.
struct ChannelDiagnosis {
    // Unknown: the diagnosis could not finish.
    enum class Class { Ok, Open, StuckActive, Miswired, Short, Intermittent, Slow, Unknown };
    // Minimum, median and maximum in milliseconds, where it could be measured.
    struct Figures {
        std::optional<double> min, median, max;
    };
    int relay = 0;
    int input = 15;
    Class kind = Class::Unknown;
    std::vector<int> drives; // the inputs that followed the relay
    Figures operate;         // write -> first change of its input
    Figures release;         // write -> first change as it opens
    Figures bounce;          // first change -> last change before the input stays put
    int bounces = 0;         // the most a closing bounced
    int needsMs = 0;         // the read-back delay its input needs, as measured
    double leastMs = 0;      // the least its input surely took to settle: each time less how
                             // late the watch's sampling may have seen it
    std::string words;       // what it means, for a technician
    // Its figures judged against the card's limits (its medians and worsts, its bounces), and
    // the worst of their verdicts.
    std::vector<Measurement> measured;
    Verdict judged = Verdict::Pass;
};

// The class as the reports name it: "ok", "open", "stuck-active", "miswired", "short",
// "intermittent", "slow", "unknown".
const char* className(ChannelDiagnosis::Class kind);

// The classes in the order they are weighed: the first whose test a channel meets is its class.
// What the card does, and what a technician checks, as the docs give them.
struct ClassInfo {
    ChannelDiagnosis::Class kind;
    const char* name;
    const char* does;
    const char* check;
};
const std::vector<ClassInfo>& diagnosisClasses();

struct DiagnosisSettings {
    int repeat = 3;                  // each pattern, closing and opening this often
    int readbackMs = 5;              // the window's read-back delay: slower is "slow"
    std::int64_t timeoutUs = 200000; // the watch of a relay that has answered before
    // The watch of a relay's first closing, and of one that has answered: a relay that moves
    // an input within it is timed, however slow. Well past the longest read-back delay.
    std::int64_t longTimeoutUs = 1000000;
    std::int64_t startUs = 50000; // how long the card may take to settle at the start
    Limits limits;                // what each channel's figures are judged by
};

// The longest read-back delay the program offers: a relay slower than this cannot pass a loop.
constexpr int kLongestReadbackMs = 500;

struct DiagnosisReport {
    std::string device;
    std::string card;         // the card tested, where it was named
    std::string operatorName; // who tested, on which PC
    std::string host;
    DiagnosisSettings settings;
    double resolutionMs = 0; // the sampling interval the device achieved
    double longestGapMs = 0; // the longest gap between two samples: no time was worse
    double waitedMs = 0;     // the waits the method made: settle windows, time-outs, patterns
    // map[r][i] is 1 when input i followed relay r.
    std::array<std::array<int, 16>, 16> map{};
    std::array<ChannelDiagnosis, 16> channels{};
    std::string failure; // why it could not finish, when it could not
    // Finished, every channel ok, and no figure past its limit.
    bool passed() const;
};

// Where a diagnosis is, as it goes: what it does now ("timing relay 3 of 16"), and its steps
// done of all it takes (the settling, each relay's timing, each repeat of the map, the
// classing). A step counts as done whatever it found: a relay that never answered is done too.
struct DiagnosisStep {
    std::string what;
    int done = 0;
    int steps = 0;
    int relaysLeft = 16; // relays not yet timed, the one being timed included
    int mapsLeft = 0;    // repeats of the map not yet read, the one being read included
};

// What a diagnosis tells as it goes.
struct DiagnosisObserver {
    // Each step as it starts.
    std::function<void(const DiagnosisStep&)> step;
    // A relay's figures as soon as it is timed, judged against the limits, and whether its own
    // input followed it (one that did not cannot be ok, whatever the map finds); its class is
    // not known before the map (Unknown here; the report has it).
    std::function<void(const ChannelDiagnosis&, bool followed)> timed;
};

// The time a diagnosis at step may still take, at most, in milliseconds, where no relay left
// answers (the slowest case): each relay left watched for the long time-out once and the
// short one for each later repeat, and each pattern of the map left read after the read-back
// delay. A relay that answers slowly on every closing can take longer.
double diagnosisTimeLeftMs(const DiagnosisStep& step, const DiagnosisSettings& settings);

// Diagnoses the card behind an open device: times each relay's closing and opening, maps which
// inputs follow which relay (all open, walking one, walking zero, all closed; each pattern read
// once its contacts have settled), and classes each channel. Every relay is open at the end.
// stopped() is asked between steps; a stop ("cut short") or a failing call ends it early, with
// the failure. progress(what) is told each step as it starts ("timing relay 3 of 16", "the map,
// repeat 2 of 3").
DiagnosisReport diagnose(PortDevice& device, const DiagnosisSettings& settings,
                         const std::function<bool()>& stopped = {},
                         const std::function<void(const std::string&)>& progress = {});
DiagnosisReport diagnose(PortDevice& device, const DiagnosisSettings& settings,
                         const std::function<bool()>& stopped, const DiagnosisObserver& observer);

// The failure of a diagnosis that was stopped before its end.
inline constexpr const char* kDiagnosisCutShort = "cut short";

// Judges each channel's figures against the limits (settings.limits, which diagnose() judges by
// at its end); a figure past its limit fails the report.
void judgeDiagnosis(DiagnosisReport& report, const Limits& limits);
// Judges one channel's figures, as judgeDiagnosis does each.
void judgeChannel(ChannelDiagnosis& channel, const Limits& limits);
