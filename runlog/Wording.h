#pragma once

#include <QString>

#include <cstdint>

// The words a run's outcome is told in, one wording for the terminal, the log and the reports.

// "PASS" or "FAIL".
QString verdictWord(bool passed);
// "pass" or "fail", as the JSON and JUnit reports' verdict property gives it.
QString verdictProperty(bool passed);
// The end row's detail: "verdict PASS", then "; " and more words when there are any.
QString endDetail(bool passed, const QString& more = {});
// A span of time as h:mm:ss, such as 0:02:05 or 27:00:00; with shortUnderAnHour, m:ss below
// an hour (2:05), as a progress line shows it.
QString durationText(std::int64_t ms, bool shortUnderAnHour = false);
// A time read from a log as it stands, or "?" where the log gave none.
QString orUnknown(const QString& time);
