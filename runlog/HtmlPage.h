#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The frame of the program's HTML reports (a run's and a diagnosis's): one self-contained page
// with one style, and tables a screen reader reads cell by cell.

// A whole page: title (plain text) and body (HTML).
QString htmlPage(const QString& title, const QString& body);
// A table of plain-text cells: a header cell per column, and each row's first cell a header
// of its row.
QString htmlTable(const QString& caption, const QStringList& columns,
                  const QList<QStringList>& rows);
// A colour key: a small square of the colour, then its words.
QString htmlKey(const char* colour, const QString& words);
