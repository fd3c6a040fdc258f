#pragma once

class QApplication;

// What main does to the application before creating the window, shared with the benchmark
// so that it measures the program as it runs.
void setUpApplication(QApplication& app);
