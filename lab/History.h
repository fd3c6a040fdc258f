#pragma once

#include "diagnosis/Limits.h"
#include "lab/LabDatabase.h"

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// A card's history as --card-history prints it: per relay its closings, errors and errors per
// million closings; each relay's trend over the card's diagnoses with the flags a technician
// acts on; then its last runs: when, on which PC, by whom, how they ended, loops, errors.

// One relay's course over the card's life.
struct RelayTrend {
    double lifeUsed = 0; // its closings against the rated life, in %
    // A figure's median at the first and the latest diagnosis that measured it.
    struct Course {
        std::optional<double> first, latest;
    };
    Course operate, release, bounce;
    // The most a closing bounced, at the first and the latest diagnosis that counted it.
    struct Count {
        std::optional<int> first, latest;
    };
    Count bounces;
    QStringList flags; // what a technician should do about it, in words
};

// A relay is flagged when its latest diagnosis found a figure (a time, or its number of bounces)
// marginal or past its limit, or
// a class other than ok; when its operate time grew by half or more (and by 1 ms at least: less
// is within the sampling) since its first diagnosis; or when it has used the marginal part of
// its rated life.
std::array<RelayTrend, 16> relayTrends(const LabDatabase::History& history, const Limits& limits);

QString historyTable(const LabDatabase::History& history, const Limits& limits = {});
// The history as a page: each relay's times over the card's diagnoses with their limits, its
// life used, its flags; the book and the last runs as tables.
QString historyHtml(const LabDatabase::History& history, const Limits& limits);
