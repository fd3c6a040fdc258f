#pragma once

#include <QSaveFile>
#include <QString>
#include <QXmlStreamWriter>

#include <optional>
#include <utility>
#include <vector>

// A JUnit XML report of one test suite, as CI servers read it. The file appears whole when
// commit() succeeds, or not at all: a reader never sees half a report.
class JUnitReport {
public:
    // Properties by name; one with an empty value is left out.
    using Properties = std::vector<std::pair<QString, QString>>;

    // Opens path and starts the suite; false with why when the file cannot be opened.
    bool open(const QString& path, const QString& suite, int tests, qint64 failures,
              std::optional<double> seconds, QString& why);
    void properties(const Properties& list);
    // A test case; with a message it failed, and text says how.
    void startCase(const QString& classname, const QString& name);
    void failure(const QString& message, const QString& text);
    void endCase();
    bool commit(QString& why);

private:
    QSaveFile file_;
    QXmlStreamWriter xml_;
};
