#pragma once

#include "lab/LabDatabase.h"

#include <QColor>
#include <QIcon>
#include <QString>

// How the lab window marks a verdict: in words, with an icon and a colour, never by colour
// alone.
enum class Mark { None, Pass, Marginal, Fail };

Mark markOf(const QString& verdict); // "pass", "marginal", "fail", or none
Mark markOfRun(const LabDatabase::Run& run);
QIcon markIcon(Mark mark);
QColor markColour(Mark mark);
QString markWord(Mark mark); // "pass", "marginal", "FAIL", "not judged"
