#pragma once

#include "diagnosis/Diagnosis.h"

#include <vector>

// Between the method, which measures a card (Diagnosis.cpp), and the table of classes, which
// judges each channel by what was measured (Classes.cpp).
namespace diagnosis {

// One relay's timing on one input, over its closings and openings.
struct Timing {
    std::vector<double> operate, release, bounce;
    int bounces = 0;
    int closings = 0;
    int moved = 0;     // closings that moved the input
    int elsewhere = 0; // other inputs its first closing made active (a mask)
    double gapMs = 0;  // the longest sampling gap of the watches that gave its times
};

// All a class's test and words need of a channel.
struct Facts {
    const ChannelDiagnosis& c;
    const DiagnosisReport& r;
    const Timing& t;
    bool stuck;   // its input was active in every read of all relays open
    bool steady;  // every repeat, and every closing, gave the same answer
    int followed; // repeats of the map in which its own input followed it
    int repeat;
    int readbackMs;
    int longestWatchMs;
};

// Whether a channel's input surely settles only after the read-back delay. Each time was seen
// by a sample that may have come up to the watch's longest sampling gap after the change, so
// only what is left of it less that gap shows a relay too slow: a coarse watch does not make
// a quick relay slow.
bool slowerThan(const ChannelDiagnosis& c, int readbackMs);

// Gives a channel its class and words: those of the first class, in the order they are
// weighed, whose test its facts meet.
void classify(ChannelDiagnosis& c, const Facts& f);

} // namespace diagnosis
