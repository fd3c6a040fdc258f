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
    int moved = 0;      // closings that moved the input
    int elsewhere = 0;  // other inputs its first closing made active (a mask)
    double leastMs = 0; // the least its input surely took to settle, closing or opening
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
// by a sample that may have come up to the watch's longest sampling gap after the change (or,
// for the first samples, any time after the write went out), so only the least it surely took
// shows a relay too slow: a coarse watch, or a slow write, does not make a quick relay slow.
bool slowerThan(const ChannelDiagnosis& c, int readbackMs);

// Gives a channel its class and words: those of the first class, in the order they are
// weighed, whose test its facts meet.
void classify(ChannelDiagnosis& c, const Facts& f);

} // namespace diagnosis
