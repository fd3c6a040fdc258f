#pragma once

#include "diagnosis/Limits.h"
#include "lab/History.h"
#include "lab/LabDatabase.h"

#include <QString>

#include <optional>
#include <vector>

// One card of the lab as its list shows it: read from the same history --card-history prints,
// and flagged by the same trends.
struct CardSummary {
    QString card;
    std::optional<LabDatabase::Run> last; // its newest run
    std::int64_t runs = 0;
    int diagnoses = 0;
    double lifeUsed = 0; // the most used relay's life used, in %
    int lifeRelay = -1;  // that relay; -1 while no relay has closed
    int flags = 0;       // how many flags its relays carry
    QString firstFlag;   // the first of them in words, "relay 4: ..."
};

CardSummary summarize(const LabDatabase::History& history, const Limits& limits);

// The lab's cards in the order a technician acts on them: the flagged first, then by their
// last run, newest first (cards never run last, by ID).
std::vector<CardSummary> summarizeLab(const std::vector<LabDatabase::History>& histories,
                                      const Limits& limits);

// "pass", "FAIL", or what a run that has not ended says.
QString verdictWords(const LabDatabase::Run& run);
