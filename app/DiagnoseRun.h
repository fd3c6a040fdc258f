#pragma once

#include "app/CommandLine.h"
#include "card/DeviceEntry.h"

#include <cstdio>
#include <memory>
#include <vector>

// --diagnose: opens the device the options name from entries (no chooser, no display), runs the
// diagnosis, prints its table on out and writes the reports and the record the options ask
// for. SIGINT and SIGTERM end it early in the same orderly way: every relay opens, what was
// found is reported. Returns the exit status.
int runDiagnosis(const Options& options, std::vector<std::unique_ptr<DeviceEntry>> entries,
                 std::FILE* out = stdout, std::FILE* err = stderr);
