#pragma once

#include "runlog/LogFormat.h"

#include <QString>

#include <functional>

class QIODevice;

// Reads the log's header, then hands every row from byte offset `from` on (or from the first)
// to take(row, line, offset) until it returns false; false with why when the text breaks the
// format (why names the line).
bool eachRow(QIODevice& in, qint64 from,
             const std::function<bool(const logformat::ReadRow&, qint64, qint64)>& take,
             QString& why);
