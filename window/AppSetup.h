#pragma once

class QApplication;

// What main does before Qt starts (before the QApplication is made), shared with the
// benchmark so that it measures the program as it runs: it chooses how Qt waits for events
// and how it hands repaints to an X server, for read-backs that come on time.
void setUpQtEnvironment();

// What main does to the application before creating the window, shared with the benchmark
// so that it measures the program as it runs.
void setUpApplication(QApplication& app);
