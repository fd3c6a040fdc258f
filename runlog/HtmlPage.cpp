#include "runlog/HtmlPage.h"

QString htmlPage(const QString& title, const QString& body) {
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                          "<title>%1</title>\n<style>\n"
                          "body{font-family:sans-serif;margin:16px;color:#222}"
                          "table{border-collapse:collapse;margin:8px 0}"
                          "caption{text-align:left;font-weight:bold;padding:4px 0}"
                          "th,td{border:1px solid #ccc;padding:2px 8px;text-align:right}"
                          "th{background:#f0f0f0}td.words,th.words{text-align:left}"
                          ".key{margin-right:16px;font-size:13px}"
                          ".key span{display:inline-block;width:12px;height:12px;margin-right:4px;"
                          "vertical-align:middle}\n</style></head><body>\n"
                          "<h1>%1</h1>\n%2</body></html>\n")
        .arg(title.toHtmlEscaped(), body);
}

QString htmlTable(const QString& caption, const QStringList& columns,
                  const QList<QStringList>& rows) {
    // A column of words (not figures) reads better left-aligned: the last one, when it is.
    auto cls = [&](int column) {
        return column == columns.size() - 1 && columns.back() == QLatin1String("words")
                   ? QStringLiteral(" class=\"words\"")
                   : QString();
    };
    QString out =
        QStringLiteral("<table>\n<caption>%1</caption>\n<thead><tr>").arg(caption.toHtmlEscaped());
    for (int c = 0; c < columns.size(); ++c)
        out +=
            QStringLiteral("<th scope=\"col\"%1>%2</th>").arg(cls(c), columns[c].toHtmlEscaped());
    out += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (const QStringList& row : rows) {
        out += QStringLiteral("<tr>");
        for (int c = 0; c < row.size(); ++c)
            out += c == 0 ? QStringLiteral("<th scope=\"row\">%1</th>").arg(row[c].toHtmlEscaped())
                          : QStringLiteral("<td%1>%2</td>").arg(cls(c), row[c].toHtmlEscaped());
        out += QStringLiteral("</tr>\n");
    }
    return out + QStringLiteral("</tbody></table>\n");
}

QString htmlKey(const char* colour, const QString& words) {
    return QStringLiteral("<span class=\"key\"><span style=\"background:%1\"></span>%2</span>")
        .arg(QLatin1String(colour), words.toHtmlEscaped());
}
