#pragma once

#include <QString>

// Whether an ID can name a card (and its book): 1 to 64 letters, digits, '.', '-' and '_', not
// beginning with '.'; nothing else, not even a line break at its end. The one check of an ID
// wherever one comes in: the command line, the chooser, a card's book, a run's record.
bool validCardId(const QString& id);
