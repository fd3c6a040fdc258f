#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A card type's limits: what each relay's figures are judged against. The defaults are those
// of small signal and power relays' data sheets (operate within 10 ms, release within 5 to
// 10 ms, bounce within 1 to 3 ms), taken at their upper end: a loop-back rig measures the
// input's own delay in every time too.
struct Limits {
    double operateMs = 10;         // write to the input's first change as the relay closes
    double releaseMs = 10;         // write to the first change as it opens
    double bounceMs = 3;           // first change to the last before the input stays put
    double bounces = 10;           // the changes beyond the first in one closing
    double errorsPerMillion = 100; // a relay's errors per million of its closings
    double ratedLife = 1e7;        // a relay's closings over its life (mechanical rating)
    double marginal = 0.8;         // past this fraction of a limit, a figure is marginal
    std::string source;            // the file they were read from; empty for the defaults

    // Each limit by its key in a limits file, with its unit, in the order they are listed.
    struct Key {
        const char* name;
        double Limits::*value;
        const char* unit;
    };
    static const std::vector<Key>& keys();
};

// Reads the [limits] group of an INI file; false with why, naming the line: an unknown key, a
// value that is not a positive number, a marginal fraction not below 1, a key outside
// [limits]. Keys not given keep their defaults.
bool readLimits(const std::string& path, Limits& limits, std::string& why);

enum class Verdict { Pass, Marginal, Fail };
// "pass", "marginal", "fail".
const char* verdictName(Verdict verdict);
// Past the limit fails; past the marginal fraction of it is marginal.
Verdict judge(double value, double limit, double marginal);
Verdict worse(Verdict a, Verdict b);

// One figure judged: its name ("operate", "release", "bounce", "bounces", "errors", "life"),
// which of its values ("median", "worst", or "run" and "life" for counts), the value in its
// unit, its limit and verdict.
struct Measurement {
    std::string name;
    std::string of;
    double value = 0;
    std::string unit;
    double limit = 0;
    Verdict verdict = Verdict::Pass;
    // "operate median 12.00 ms, past its limit of 10 ms", "... within ...", "... marginal ...".
    std::string words() const;
};

// A relay's errors per million of its closings in a run, and its closings over its life,
// judged.
Measurement judgeErrors(std::int64_t errors, std::int64_t closings, const Limits& limits);
Measurement judgeLife(std::int64_t closings, const Limits& limits);
