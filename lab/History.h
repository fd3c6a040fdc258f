#pragma once

#include "lab/LabDatabase.h"

#include <QString>

// A card's history as --card-history prints it: per relay its closings, errors and errors per
// million closings; then its last runs: when, on which PC, how they ended, loops, errors.
QString historyTable(const LabDatabase::History& history);
