#pragma once

#include <QStringView>

#include <cstdint>
#include <limits>
#include <optional>

// The kinds of error a loop counts, named once for the window, the run's record, its summary
// and its report.
enum class ErrorKind {
    InputInactive, // the input stayed inactive while its relay was closed
    InputActive,   // the input was active while its relay was open
    WriteFailed,   // a relay write failed
    ReadFailed,    // an input read failed
};
constexpr int kErrorKinds = 4;

// The kind as the log's kind column writes it: "input-inactive", "input-active",
// "write-failed", "read-failed".
const char* kindName(ErrorKind kind);
std::optional<ErrorKind> kindFromName(QStringView name);
// The kind in words for people: "input inactive while the relay was closed", ...
const char* kindWords(ErrorKind kind);

// Counts never wrap: a sum that would pass the largest count stays there, and one that would
// fall below zero stays at zero.
inline std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : 0;
    return sum;
}

// What a run's verdict rests on. A run passes only when nothing at all failed: no error charged
// to a relay, no failed read, no failed write charged to no relay, nothing else that ended it.
struct RunTally {
    std::int64_t relayErrors = 0;     // mismatches and failed writes charged to the relays
    std::int64_t failedReads = 0;     // reads of either port that failed
    std::int64_t unchargedWrites = 0; // failed writes charged to no relay
    std::int64_t other = 0;           // anything else that failed the run, such as a crash
    // How many things failed.
    std::int64_t failures() const {
        return saturatingAdd(saturatingAdd(relayErrors, failedReads),
                             saturatingAdd(unchargedWrites, other));
    }
    bool passed() const { return failures() == 0; }
};
