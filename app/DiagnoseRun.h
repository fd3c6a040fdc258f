#pragma once

#include "app/CommandLine.h"
#include "card/DeviceEntry.h"
#include "diagnosis/Diagnosis.h"

#include <QString>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

class DeviceSelectingCard;

// --diagnose: opens the device the options name from entries (no chooser, no display), runs the
// diagnosis, prints its table on out and writes the reports and the record the options ask
// for. SIGINT and SIGTERM end it early in the same orderly way: every relay opens, what was
// found is reported. Returns the exit status.
int runDiagnosis(const Options& options, std::vector<std::unique_ptr<DeviceEntry>> entries,
                 std::FILE* out = stdout, std::FILE* err = stderr);

// Diagnoses the card behind an open device with the options' card, operator, limits, repeats
// and read-back delay, and keeps it as --diagnose keeps it: the card's book in the lab (its
// closings, the findings, and how it ended: "diagnosed", or "cut short" when stopped) and the
// run's record where the options have it recorded. warn(words) is told what --diagnose says
// on stderr (a record that cannot be written, the lab's records waiting, a relay past its
// life). Runs on any one thread; the device is that thread's while it runs.
DiagnosisReport diagnoseAndKeep(const Options& options, DeviceSelectingCard& card,
                                const std::function<bool()>& stopped,
                                const DiagnosisObserver& observer,
                                const std::function<void(const QString&)>& warn);

// The files a diagnosis can be saved as: the same as --html, --json and --junit write.
enum class DiagnosisFile { Html, Json, JUnit };
bool saveDiagnosis(const QString& path, DiagnosisFile kind, const DiagnosisReport& report,
                   QString& why);
