#pragma once

#include "app/CommandLine.h"

#include <QString>

class DeviceSelectingCard;
class LoopTest;

// Where a run is recorded: the --log file, a new file in the user's data folder, or nowhere
// (--no-log, an empty string).
QString logPathFor(const Options& options, qint64 startMs);
// What the chooser says about it.
QString logNote(const QString& path);
// The start row's detail: the device, its settings, the speeds and the versions.
QString startDetail(const DeviceSelectingCard& card, const LoopTest& window);
