#pragma once

#include "lab/LabDatabase.h"

#include <QString>

#include <optional>

// A card's book as looptest kept it before the lab's database: one JSON file per card under
// its ID, per relay its closings and errors, its runs, when it was first and last seen. The
// database takes such a book in once, as one run, when it first meets the card.
namespace oldbook {

// Where a card's book was kept: looptest/cards/ID.json in the user's data folder.
QString pathFor(const QString& card);

// What card's book holds, as the run the database takes in (nothing when it has no book); false
// with why when the book is damaged or another card's: such a book is not taken in.
bool takeIn(const QString& card, std::optional<LabDatabase::Run>& run, QString& why);

} // namespace oldbook
