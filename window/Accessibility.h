#pragma once

class QAbstractButton;
class QAbstractSlider;
class QLabel;
class QString;
class QWidget;

// Accessible names and descriptions that a screen reader speaks, kept up to date as the
// controls change. They change nothing a sighted user sees, and no focus or key.

// A box that is on or off: its name, and "NAME is ON" or "NAME is OFF" as it toggles.
void describeBox(QAbstractButton* box, const QString& name, const char* on, const char* off);
// A bar of milliseconds: "NAME, 100 ms" as it moves, and what it sets.
void describeBar(QAbstractSlider* bar, const char* name, const char* what);
// A label that counts: "NAME: 12"; whoever changes its text puts the count after the name
// (the label's "accessibleCounter" property holds it).
void describeCounter(QLabel* counter, const QString& name, const QString& description);
// Any other control: a name (empty: its own caption or title) and what it does.
void describe(QWidget* control, const char* name, const char* description);
