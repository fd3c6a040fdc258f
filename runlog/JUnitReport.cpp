#include "runlog/JUnitReport.h"

#include <QDateTime>

bool JUnitReport::open(const QString& path, const QString& suite, int tests, qint64 failures,
                       std::optional<double> seconds, QString& why) {
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly)) {
        why = file_.errorString();
        return false;
    }
    xml_.setDevice(&file_);
    xml_.setAutoFormatting(true);
    xml_.writeStartDocument();
    xml_.writeStartElement(QStringLiteral("testsuites"));
    xml_.writeStartElement(QStringLiteral("testsuite"));
    xml_.writeAttribute(QStringLiteral("name"), suite);
    xml_.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    xml_.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml_.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    if (seconds)
        xml_.writeAttribute(QStringLiteral("time"), QString::number(*seconds, 'f', 3));
    xml_.writeAttribute(QStringLiteral("timestamp"),
                        QDateTime::currentDateTime().toString(Qt::ISODate));
    return true;
}

void JUnitReport::properties(const Properties& list) {
    xml_.writeStartElement(QStringLiteral("properties"));
    for (const auto& [name, value] : list) {
        if (value.isEmpty())
            continue;
        xml_.writeStartElement(QStringLiteral("property"));
        xml_.writeAttribute(QStringLiteral("name"), name);
        xml_.writeAttribute(QStringLiteral("value"), value);
        xml_.writeEndElement();
    }
    xml_.writeEndElement();
}

void JUnitReport::startCase(const QString& classname, const QString& name) {
    xml_.writeStartElement(QStringLiteral("testcase"));
    xml_.writeAttribute(QStringLiteral("classname"), classname);
    xml_.writeAttribute(QStringLiteral("name"), name);
}

void JUnitReport::failure(const QString& message, const QString& text) {
    xml_.writeStartElement(QStringLiteral("failure"));
    xml_.writeAttribute(QStringLiteral("message"), message);
    xml_.writeCharacters(text);
    xml_.writeEndElement();
}

void JUnitReport::endCase() {
    xml_.writeEndElement();
}

bool JUnitReport::commit(QString& why) {
    xml_.writeEndDocument();
    if (xml_.hasError() || !file_.commit()) {
        why = file_.errorString();
        return false;
    }
    return true;
}
