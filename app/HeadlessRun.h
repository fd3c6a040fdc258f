#pragma once

#include "app/CommandLine.h"
#include "card/DeviceEntry.h"

#include <cstdio>
#include <memory>
#include <vector>

// A run without a display, through the window's own handlers, so that every verdict is the
// window's: opens the device the options name from entries (no chooser, no box waiting for a
// click), sets the two speeds through the spin controls, presses Auto, runs until the loop
// count or the time is reached or SIGINT or SIGTERM comes, presses Stop, lets the last
// read-back finish and presses OK. Shows progress on err, prints the counts on out, writes the
// JUnit report if asked, and returns the exit status. Needs a QApplication.
int runHeadless(const Options& options, std::vector<std::unique_ptr<DeviceEntry>> entries,
                std::FILE* out = stdout, std::FILE* err = stderr);
