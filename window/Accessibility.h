#pragma once

class QWidget;

// Gives every control of the window an accessible name and description that a screen reader
// can speak ("Relay 3", closed or open; "Input 12", active or inactive; "Errors of relay 3: 12";
// "Set speed, 100 ms"), kept up to date as the boxes and bars change. Changes nothing a sighted
// user sees, and no focus or key.
void describeForScreenReaders(QWidget* window);
