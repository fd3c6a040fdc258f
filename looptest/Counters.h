#pragma once

#include <cstdint>

class QLabel;

// How a counter label shows its count: plain decimal, as the window always did. A count too
// wide for its label is drawn in a smaller face to fit, and its tool tip shows it in full. A
// screen reader hears the counter's name with the count.
namespace counters {

void show(QLabel* label, std::int64_t count);

} // namespace counters
