#pragma once

#include "diagnosis/Diagnosis.h"

#include <QString>

// A diagnosis as the technician reads it: a table for the terminal, JSON for programs, a JUnit
// report for CI, and an HTML page with the map drawn as a matrix and each relay's times.

// Per channel: its class, the inputs it drives, its times with the resolution; then what each
// fault means, and the verdict.
QString diagnosisTable(const DiagnosisReport& report);
QString diagnosisJson(const DiagnosisReport& report);
// One test case per channel, failing for every class but ok; the figures as properties.
bool writeDiagnosisJUnit(const QString& path, const DiagnosisReport& report, QString& why);
QString diagnosisHtml(const DiagnosisReport& report);
// A channel's findings beyond its class, in one line: the inputs it drives, then its operate,
// release and bounce times (min/median/max ms) and how often it bounced.
QString channelFigures(const ChannelDiagnosis& channel);
// The figures of a report judged exactly at (marginal, or past their limits).
int countFigures(const DiagnosisReport& report, Verdict at);
// What the figures were judged by, in one line: "Limits (the defaults): operate 10 ms, ...".
QString limitsLine(const Limits& limits);
