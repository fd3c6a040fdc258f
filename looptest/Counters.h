#pragma once

#include <cstdint>

class QLabel;

// The loop and error counters live in their labels' text, as plain decimal. They are 64-bit,
// so that a run left going for days never overflows or stops counting. A count too wide for
// its label is drawn in a smaller face to fit, and its tool tip shows it in full.
namespace counters {

// The number a counter label shows. Throws std::runtime_error if the text is not a count.
std::int64_t read(const QLabel* label);
// Shows a count in a label.
void write(QLabel* label, std::int64_t count);
// Adds one to a counter label; the count stops at the largest 64-bit value rather than wrap.
void increment(QLabel* label);

} // namespace counters
